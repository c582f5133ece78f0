#include "batch/batch.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <vector>

#include <yyjson.h>

#include "base/error.h"
#include "base/json_doc.h"
#include "base/lists.h"
#include "api/json_name.h"
#include "base/options.h"
#include "api/result.h"
#include "engine/encoder.h"
#include "engine/pipe.h"
#include "enhance/denoise.h"
#include "enhance/enhance.h"
#include "platform/fs.h"

namespace {

constexpr int MAX_NAMES = 512;
constexpr size_t NAME_SLOT = 280;

// Matched exactly and case-sensitively; containers the writer cannot produce
// are turned into BATCH_CONVERTED_TO.
const char* output_extension(const char* ext) {
    if (const output_container* c = output_container_of(ext)) return c->ext;
    for (const char* in : BATCH_CONVERTED)
        if (std::strcmp(ext, in) == 0) return BATCH_CONVERTED_TO;
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

// One file of the batch and, once run, what became of it.
struct batch_item {
    std::string name, out_name, in_path, out_path;
    int rc = -1;
    std::string error;
    int64_t size = -1;
};

// Enhances one file on the calling thread with cfg. With several workers
// each file gets a copy of the call's settings with one thread (the files
// are what runs side by side); alone it uses the call's own threads like a
// single enhance.
void run_item(batch_item* item, const char* options, const settings& cfg) {
    clear_err();
    item->rc = guarded_all([&] {
        enhance_options opt;
        enhance_result r;
        item->rc = enhance_prepare(item->in_path.c_str(), item->out_path.c_str(), options, &opt);
        if (item->rc == 0)
            item->rc = enhance_run(item->in_path.c_str(), item->out_path.c_str(), opt, cfg, &r);
        if (item->rc == 0) item->size = file_size(item->out_path.c_str());
        return item->rc;
    });
    if (item->rc != 0) item->error = g_err;
}

// Runs the items on "jobs" workers (one per processor by default), each
// taking the next file not yet taken. The results land in the items, so the
// answer lists them in listing order whatever finished first.
void run_items(std::vector<batch_item>* items, const char* options, const settings& cfg) {
    enhance_options opt;
    int jobs = parse_options(options, &opt) == 0 ? opt.jobs : 0;
    clear_err();
    if (jobs <= 0) jobs = fs_cpu_count();
    if (jobs > static_cast<int>(items->size())) jobs = static_cast<int>(items->size());
    // Inputs that share an output name overwrite it in listing order, as one
    // after another would: such a batch runs one file at a time.
    std::vector<std::string> outs;
    for (const batch_item& item : *items) outs.push_back(item.out_path);
    std::sort(outs.begin(), outs.end());
    if (std::adjacent_find(outs.begin(), outs.end()) != outs.end()) jobs = 1;
    std::atomic<size_t> next{0};
    auto work = [&] {
        // Each worker's own copy of the call's settings.
        settings mine = cfg;
        if (jobs > 1) mine.threads = 1;
        for (size_t i; (i = next.fetch_add(1)) < items->size();)
            run_item(&(*items)[i], options, mine);
        return 0;
    };
    std::vector<worker> workers(jobs > 1 ? jobs - 1 : 0);
    for (worker& w : workers)
        if (worker_start(&w, work) != 0) break;  // the caller's own loop takes the rest
    work();
    for (worker& w : workers) (void)worker_join(&w);
    // As after files done one after another: the last file's message stays.
    clear_err();
    if (!items->empty() && items->back().rc != 0) set_err("%s", items->back().error.c_str());
}

}  // namespace

int batch_dir(const char* in_dir, const char* out_dir, const char* options, const settings& cfg,
              const char** out) {
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

    // What each file is to become, decided in listing order.
    std::vector<batch_item> items;
    int skipped = 0;
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
        batch_item item;
        item.name = name;
        item.out_name = out_name;
        item.in_path = in_path;
        item.out_path = out_path;
        items.push_back(std::move(item));
    }

    run_items(&items, options, cfg);

    // A document that cannot be allocated ends the call in finish_json's
    // "json serialize failed"; every file has been processed by then.
    json_doc_ptr doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_doc* d = doc.get();
    yyjson_mut_val* root = yyjson_mut_obj(d);
    yyjson_mut_doc_set_root(d, root);
    yyjson_mut_val* files = yyjson_mut_arr(d);
    yyjson_mut_obj_add_val(d, root, "files", files);

    int processed = 0, failed = 0;
    int64_t total_bytes = 0;
    for (const batch_item& item : items) {
        yyjson_mut_val* entry = yyjson_mut_obj(d);
        yyjson_mut_obj_add_val(d, entry, "in", json_name(d, item.name.c_str()));
        if (item.rc != 0) {
            ++failed;
            yyjson_mut_obj_add_val(d, entry, "error", json_name(d, item.error.c_str()));
        } else {
            ++processed;
            if (item.size >= 0) total_bytes += item.size;
            yyjson_mut_obj_add_val(d, entry, "out", json_name(d, item.out_name.c_str()));
            yyjson_mut_obj_add_int(d, entry, "size_bytes", item.size);
        }
        yyjson_mut_arr_append(files, entry);
    }

    yyjson_mut_obj_add_int(d, root, "processed", processed);
    yyjson_mut_obj_add_int(d, root, "failed", failed);
    yyjson_mut_obj_add_int(d, root, "skipped", skipped);
    yyjson_mut_obj_add_real(d, root, "total_mb",
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
