// What probe reads of a file: its format and its measurement.
#pragma once
#include <string>

#include "analysis/measure.h"
#include "base/settings.h"

struct probe_result {
    double duration_s = 0.0;
    int sample_rate = 0;
    int channels = 0;
    loudness_stats stats;
    std::string codec;
    std::string format;
};

// Decodes path and measures it as it decodes: 0, or -1 after set_err.
int probe_run(const char* path, const settings& cfg, probe_result* r);
