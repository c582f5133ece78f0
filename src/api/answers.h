// The working calls as the exports answer them: arguments checked, the job
// run, its record written as compact JSON into the result buffer.
#pragma once
#include "base/settings.h"

int probe_file(const char* path, const settings& cfg, const char** out);
int enhance_file(const char* in_path, const char* out_path, const char* options,
                 const settings& cfg, const char** out);
int batch_dir(const char* in_dir, const char* out_dir, const char* options,
              const settings& cfg, const char** out);
