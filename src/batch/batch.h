#pragma once
int batch_dir(const char* in_dir, const char* out_dir, const char* options, const char** out);
