// Printing the library's JSON answers: as given, indented, or as tables.
#pragma once
#include <cstdio>
#include <string>

enum class output_mode { table, json, pretty };

// Prints the answer as JSON (exactly as returned, or indented).
void print_json(const char* json, output_mode mode);

void print_probe_table(const char* path, const char* json);

// enhance's answer as one line, for stderr beside the JSON on stdout.
std::string enhance_line(const char* json);

void print_enhance_table(const char* json);

// One row per file and the totals, to `out`. Returns the failed count.
long print_batch_table(FILE* out, const char* json);
