// The enhance job: decode, measure, denoise, one chain, encode, measure.
#pragma once
#include <cstdint>

#include "analysis/measure.h"
#include "base/options.h"
#include "base/settings.h"
#include "enhance/chain.h"

// What one enhance did, for its answer.
struct enhance_result {
    loudness_stats before;
    loudness_stats after;  // the written file's, else the best earlier figures
    applied_list applied;
    double duration_s = 0.0;
    int64_t size_bytes = -1;
};

// The checks every enhance makes before any work: the input is a readable
// regular file, the output is not the input, and the options parse.
int enhance_prepare(const char* in_path, const char* out_path, const char* options,
                    enhance_options* opt);

// Enhances in_path into out_path: 0, or -1 after set_err. Uses worker
// threads unless threads_enabled(cfg) says otherwise; the result is the same
// either way.
int enhance_run(const char* in_path, const char* out_path, const enhance_options& opt,
                const settings& cfg, enhance_result* result);

