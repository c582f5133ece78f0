#pragma once
#include "base/settings.h"

int batch_dir(const char* in_dir, const char* out_dir, const char* options, const settings& cfg,
              const char** out);
