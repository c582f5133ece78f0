// The batch job: every audio file of a directory enhanced into another.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/settings.h"

// One file of the batch and, once run, what became of it.
struct batch_item {
    std::string name, out_name, in_path, out_path;
    int rc = -1;
    std::string error;
    int64_t size = -1;
};

struct batch_result {
    std::vector<batch_item> items;  // in listing order
    int skipped = 0;                // names not taken
};

// Lists in_dir and enhances each file it takes into out_dir (made with its
// parents when missing), the files side by side on the "jobs" workers the
// options ask for. 0 once every file has run, whatever became of each (the
// calling thread's error text is then the last file's message); -1 after
// set_err when in_dir is not a directory or cannot be listed.
int batch_run(const char* in_dir, const char* out_dir, const char* options, const settings& cfg,
              batch_result* r);
