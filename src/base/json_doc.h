// Owners for yyjson documents.
#pragma once
#include <memory>

#include <yyjson.h>

struct json_doc_deleter {
    void operator()(yyjson_doc* d) const { yyjson_doc_free(d); }
    void operator()(yyjson_mut_doc* d) const { yyjson_mut_doc_free(d); }
};
using json_doc_ptr = std::unique_ptr<yyjson_mut_doc, json_doc_deleter>;
using json_read_ptr = std::unique_ptr<yyjson_doc, json_doc_deleter>;
