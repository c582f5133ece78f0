// The shared result text of the working calls.
#pragma once
#include <memory>

#include <yyjson.h>

// Writes doc as compact JSON into the library's result buffer and stores the
// buffer's address through out. Returns 0, or -1 with "json serialize failed"
// when doc is null or holds a non-finite number or invalid UTF-8.
// The caller still owns (and frees) doc.
int finish_json(yyjson_mut_doc* doc, const char** out);

// A new answer document. Its allocator remembers a failure (yyjson's add
// calls only return false), so finish_json never hands out an answer that
// lost a member: it fails with "json serialize failed" instead.
struct answer_deleter {
    void operator()(yyjson_mut_doc* doc) const;
};
using answer_ptr = std::unique_ptr<yyjson_mut_doc, answer_deleter>;
answer_ptr answer_new();
