// The shared result text of the working calls.
#pragma once
#include <yyjson.h>

// Writes doc as compact JSON into the library's result buffer and stores the
// buffer's address through out. Returns 0, or -1 with "json serialize failed"
// when doc is null or holds a non-finite number or invalid UTF-8.
// The caller still owns (and frees) doc.
int finish_json(yyjson_mut_doc* doc, const char** out);
