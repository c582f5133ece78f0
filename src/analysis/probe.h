#pragma once
int probe_file(const char* path, const char** out);
