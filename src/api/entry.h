// Argument checks shared by the exported working calls.
#pragma once

// 0 when path names an existing non-directory, else -1 with
// "file not found: <path>".
int check_input_file(const char* path);
