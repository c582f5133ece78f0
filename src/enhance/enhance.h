#pragma once
int enhance_file(const char* in_path, const char* out_path, const char* options,
                 const char** out);
