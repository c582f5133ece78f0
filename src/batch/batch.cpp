#include "batch/batch.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <yyjson.h>

#include "api/error.h"
#include "api/json_doc.h"
#include "api/result.h"
#include "audioenhancer.h"
#include "engine/encoder.h"
#include "enhance/denoise.h"
#include "platform/fs.h"

namespace {

constexpr int MAX_NAMES = 512;
constexpr size_t NAME_SLOT = 280;

struct ext_map {
    const char* in;
    const char* out;
};

// Matched exactly and case-sensitively; containers the writer cannot produce
// are turned into M4A.
constexpr ext_map ok[15] = {
    {"wav", "wav"},  {"m4a", "m4a"},  {"mp4", "mp4"}, {"mp3", "mp3"}, {"ogg", "ogg"},
    {"opus", "opus"}, {"flac", "flac"}, {"aac", "m4a"}, {"wma", "m4a"}, {"webm", "m4a"},
    {"mov", "m4a"},  {"mkv", "m4a"},  {"aif", "m4a"}, {"aiff", "m4a"}, {"ac3", "m4a"},
};

const char* output_extension(const char* ext) {
    for (const ext_map& e : ok)
        if (std::strcmp(ext, e.in) == 0) return e.out;
    return nullptr;
}

// Creates out_dir and each missing parent. Failures are not reported here:
// a directory that could not be made shows up as each file's output failure.
void make_dirs(const char* out_dir) {
    char path[1024];
    std::snprintf(path, sizeof path, "%s", out_dir);
    for (char* p = path + 1; *p; ++p) {
        if (*p != FS_SEP) continue;
        *p = '\0';
        fs_mkdir(path);
        *p = FS_SEP;
    }
    fs_mkdir(path);
}

}  // namespace

int batch_dir(const char* in_dir, const char* out_dir, const char* options, const char** out) {
    clear_err();
    if (!in_dir || !out_dir || !out) {
        set_err("null args");
        return -1;
    }
    bool is_dir = false;
    if (fs_stat(in_dir, &is_dir) != 0 || !is_dir) {
        set_err("input dir not found: %s", in_dir);
        return -1;
    }

    make_dirs(out_dir);

    std::unique_ptr<char[][NAME_SLOT]> names(new (std::nothrow) char[MAX_NAMES][NAME_SLOT]);
    if (!names) {
        set_err("oom");
        return -1;
    }
    int count = 0;

    // The whole listing is read before any file is processed, so outputs
    // written into the same directory are never picked up as inputs.
    char pattern[1216];
    std::snprintf(pattern, sizeof pattern, "%s%c*", in_dir, FS_SEP);
    fs_find_data entry;
    fs_dir* listing = fs_find_first(pattern, &entry);
    if (!listing) {
        set_err("cannot open dir %s", in_dir);
        return -1;
    }
    do {
        if ((entry.attributes & (FS_ATTR_DIRECTORY | FS_ATTR_DEVICE)) || entry.name[0] == '.' || count >= MAX_NAMES)
            continue;
        std::snprintf(names[count++], NAME_SLOT, "%s", entry.name);
    } while (fs_find_next(listing, &entry));
    fs_find_close(listing);

    // A document that cannot be allocated still lets every file be processed;
    // the call then ends in finish_json's "json serialize failed".
    answer_ptr doc = answer_new();
    yyjson_mut_val* root = yyjson_mut_obj(doc.get());
    yyjson_mut_doc_set_root(doc.get(), root);
    yyjson_mut_val* files = yyjson_mut_arr(doc.get());
    yyjson_mut_obj_add_val(doc.get(), root, "files", files);

    int processed = 0, failed = 0, skipped = 0;
    int64_t total_bytes = 0;
    char ext[64];
    char in_path[1200];
    char base[520];
    char out_name[560];
    char out_path[1200];

    for (int i = 0; i < count; ++i) {
        const char* name = names[i];
        const char* dot = std::strrchr(name, '.');
        if (!dot) {
            ++skipped;
            continue;
        }
        std::snprintf(ext, sizeof ext, "%s", dot + 1);
        const char* out_ext = output_extension(ext);
        if (!out_ext) {
            ++skipped;
            continue;
        }
        std::snprintf(in_path, sizeof in_path, "%s%c%s", in_dir, FS_SEP, name);
        uint32_t attrs = fs_file_attributes(in_path);
        if (attrs == FS_INVALID_ATTRIBUTES || (attrs & (FS_ATTR_DIRECTORY | FS_ATTR_DEVICE))) {
            ++skipped;
            continue;
        }

        std::snprintf(base, sizeof base, "%.500s", name);
        char* base_dot = std::strrchr(base, '.');
        if (base_dot && base_dot != base) *base_dot = '\0';
        std::snprintf(out_name, sizeof out_name, "%s.%s", base, out_ext);
        std::snprintf(out_path, sizeof out_path, "%s%c%s", out_dir, FS_SEP, out_name);

        const char* answer = nullptr;
        int rc = audioenhancer_enhance(in_path, out_path, options, &answer);

        yyjson_mut_val* item = yyjson_mut_obj(doc.get());
        if (rc != 0) {
            ++failed;
            yyjson_mut_obj_add_strcpy(doc.get(), item, "in", name);
            yyjson_mut_obj_add_strcpy(doc.get(), item, "error", g_err);
        } else {
            ++processed;
            int64_t size = file_size(out_path);
            if (size >= 0) total_bytes += size;
            yyjson_mut_obj_add_strcpy(doc.get(), item, "in", name);
            yyjson_mut_obj_add_strcpy(doc.get(), item, "out", out_name);
            yyjson_mut_obj_add_int(doc.get(), item, "size_bytes", size);
        }
        yyjson_mut_arr_append(files, item);
    }

    yyjson_mut_obj_add_int(doc.get(), root, "processed", processed);
    yyjson_mut_obj_add_int(doc.get(), root, "failed", failed);
    yyjson_mut_obj_add_int(doc.get(), root, "skipped", skipped);
    yyjson_mut_obj_add_real(doc.get(), root, "total_mb",
                            std::ldexp(static_cast<double>(total_bytes), -20));

    int status = finish_json(doc.get(), out);
    doc.reset();
    release_denoiser();

    if (processed == 0 && failed == 0) {
        set_err("no audio files found in %s", in_dir);
        return -1;
    }
    return status;
}
