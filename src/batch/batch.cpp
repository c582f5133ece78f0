#include "batch/batch.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "base/error.h"
#include "base/lists.h"
#include "base/options.h"
#include "engine/pipe.h"
#include "enhance/enhance.h"
#include "platform/fs.h"

namespace {

constexpr int MAX_NAMES = 512;

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
    std::string path = out_dir;
    for (size_t at = path.find(FS_SEP, 1); at != std::string::npos;
         at = path.find(FS_SEP, at + 1))
        fs_mkdir(path.substr(0, at).c_str());
    fs_mkdir(path.c_str());
}

struct listing_closer {
    void operator()(fs_dir* d) const { fs_find_close(d); }
};

// The first MAX_NAMES names of in_dir that are neither hidden nor
// directories or devices, in the order the system lists them. The whole
// listing is read before any file is processed, so outputs written into the
// same directory are never picked up as inputs.
int list_names(const char* in_dir, std::vector<std::string>* names) {
    const std::string pattern = std::string(in_dir) + FS_SEP + "*";
    fs_find_data entry;
    // Closed however the listing ends, a name that cannot be stored included.
    std::unique_ptr<fs_dir, listing_closer> listing(fs_find_first(pattern.c_str(), &entry));
    if (!listing) {
        set_err("cannot open dir %s", in_dir);
        return -1;
    }
    do {
        if ((entry.attributes & (FS_ATTR_DIRECTORY | FS_ATTR_DEVICE)) || entry.name[0] == '.' ||
            names->size() >= MAX_NAMES)
            continue;
        names->push_back(entry.name);
    } while (fs_find_next(listing.get(), &entry));
    return 0;
}

// What each name is to become, decided in listing order: names without an
// extension we take, or that no longer name a file, are skipped.
void plan_items(const std::vector<std::string>& names, const char* in_dir, const char* out_dir,
                batch_result* r) {
    for (const std::string& name : names) {
        const size_t dot = name.rfind('.');
        const char* out_ext =
            dot == std::string::npos ? nullptr : output_extension(name.c_str() + dot + 1);
        const std::string in_path = std::string(in_dir) + FS_SEP + name;
        const uint32_t attrs = out_ext ? fs_file_attributes(in_path.c_str()) : 0;
        if (!out_ext || attrs == FS_INVALID_ATTRIBUTES ||
            (attrs & (FS_ATTR_DIRECTORY | FS_ATTR_DEVICE))) {
            ++r->skipped;
            continue;
        }
        const std::string base = dot > 0 ? name.substr(0, dot) : name;
        batch_item item;
        item.name = name;
        item.out_name = base + "." + out_ext;
        item.in_path = in_path;
        item.out_path = std::string(out_dir) + FS_SEP + item.out_name;
        r->items.push_back(std::move(item));
    }
}

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
        if (item->rc == 0) item->size = fs_file_size(item->out_path.c_str());
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

int batch_run(const char* in_dir, const char* out_dir, const char* options, const settings& cfg,
              batch_result* r) {
    bool is_dir = false;
    if (fs_stat(in_dir, &is_dir) != 0 || !is_dir) {
        set_err("input dir not found: %s", in_dir);
        return -1;
    }
    make_dirs(out_dir);
    std::vector<std::string> names;
    if (list_names(in_dir, &names) != 0) return -1;
    plan_items(names, in_dir, out_dir, r);
    run_items(&r->items, options, cfg);
    return 0;
}
