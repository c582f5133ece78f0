// Shared by the fuzz targets: a private scratch directory, byte files, and
// the checks every answer must pass whatever the input.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <yyjson.h>

#include "audioenhancer.h"

inline const std::string& fuzz_dir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string d = std::string(base && *base ? base : "/tmp") + "/ae_fuzz_" +
                        std::to_string(getpid());
        mkdir(d.c_str(), 0777);
        return d;
    }();
    return dir;
}

inline void fuzz_write(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

inline bool fuzz_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// -1 carries a message; 0 carries a JSON object. Anything else is a finding.
inline void fuzz_check_answer(int rc, const char* json) {
    if (rc == 0) {
        yyjson_doc* doc = json ? yyjson_read(json, std::strlen(json), 0) : nullptr;
        if (!doc || !yyjson_is_obj(yyjson_doc_get_root(doc))) {
            std::fprintf(stderr, "answer is not a JSON object: %s\n", json ? json : "(null)");
            std::abort();
        }
        yyjson_doc_free(doc);
    } else if (rc != -1 || !audioenhancer_last_error()[0]) {
        std::fprintf(stderr, "rc %d without a message\n", rc);
        std::abort();
    }
}
