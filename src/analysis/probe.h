#pragma once
#include "base/settings.h"

int probe_file(const char* path, const settings& cfg, const char** out);
