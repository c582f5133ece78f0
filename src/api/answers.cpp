#include "api/answers.h"

#include <cmath>

#include <yyjson.h>

#include "analysis/probe.h"
#include "api/json_name.h"
#include "api/result.h"
#include "base/error.h"
#include "batch/batch.h"
#include "enhance/enhance.h"

int probe_file(const char* path, const settings& cfg, const char** out) {
    clear_err();
    if (!path || !out) {
        set_err("null args");
        return -1;
    }
    probe_result r;
    if (probe_run(path, cfg, &r) != 0) return -1;

    answer_ptr doc = answer_new();
    if (doc) {
        yyjson_mut_doc* d = doc.get();
        yyjson_mut_val* root = yyjson_mut_obj(d);
        yyjson_mut_doc_set_root(d, root);
        yyjson_mut_obj_add_real(d, root, "duration_s", r.duration_s);
        yyjson_mut_obj_add_int(d, root, "sample_rate", r.sample_rate);
        yyjson_mut_obj_add_int(d, root, "channels", r.channels);
        yyjson_mut_obj_add_real(d, root, "loudness_lufs", r.stats.integrated);
        yyjson_mut_obj_add_real(d, root, "true_peak_db", or_floor(r.stats.true_peak));
        yyjson_mut_obj_add_real(d, root, "noisefloor_db", or_floor(r.stats.noise_floor));
        yyjson_mut_obj_add_strcpy(d, root, "codec", r.codec.c_str());
        yyjson_mut_obj_add_strcpy(d, root, "format", r.format.c_str());
    }
    return finish_json(doc.get(), out);
}

int enhance_file(const char* in_path, const char* out_path, const char* options,
                 const settings& cfg, const char** out) {
    clear_err();
    if (!out_path || !out || !in_path) {
        set_err("null args");
        return -1;
    }
    enhance_options opt;
    if (enhance_prepare(in_path, out_path, options, &opt) != 0) return -1;
    enhance_result r;
    if (enhance_run(in_path, out_path, opt, cfg, &r) != 0) return -1;

    answer_ptr doc = answer_new();
    if (doc) {
        yyjson_mut_doc* d = doc.get();
        yyjson_mut_val* root = yyjson_mut_obj(d);
        yyjson_mut_doc_set_root(d, root);
        yyjson_mut_obj_add_val(d, root, "output", json_name(d, out_path));
        yyjson_mut_obj_add_real(d, root, "before_lufs", r.before.integrated);
        yyjson_mut_obj_add_real(d, root, "after_lufs", r.after.integrated);
        yyjson_mut_obj_add_real(d, root, "before_peak", or_floor(r.before.true_peak));
        yyjson_mut_obj_add_real(d, root, "after_peak", or_floor(r.after.true_peak));
        yyjson_mut_obj_add_real(d, root, "size_mb",
                                static_cast<double>(r.size_bytes) / 1048576.0);
        yyjson_mut_obj_add_real(d, root, "duration_s", r.duration_s);
        yyjson_mut_val* list = yyjson_mut_obj_add_arr(d, root, "applied");
        for (int i = 0; list && i < r.applied.count; i++)
            yyjson_mut_arr_add_strcpy(d, list, r.applied.names[i]);
    }
    return finish_json(doc.get(), out);
}

int batch_dir(const char* in_dir, const char* out_dir, const char* options,
              const settings& cfg, const char** out) {
    clear_err();
    if (!in_dir || !out_dir || !out) {
        set_err("null args");
        return -1;
    }
    batch_result r;
    if (batch_run(in_dir, out_dir, options, cfg, &r) != 0) return -1;

    // A document that cannot be allocated ends the call in finish_json's
    // "json serialize failed"; every file has been processed by then.
    answer_ptr doc = answer_new();
    if (doc) {
        yyjson_mut_doc* d = doc.get();
        yyjson_mut_val* root = yyjson_mut_obj(d);
        yyjson_mut_doc_set_root(d, root);
        yyjson_mut_val* files = yyjson_mut_arr(d);
        yyjson_mut_obj_add_val(d, root, "files", files);
        int processed = 0, failed = 0;
        int64_t total_bytes = 0;
        for (const batch_item& item : r.items) {
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
        yyjson_mut_obj_add_int(d, root, "skipped", r.skipped);
        yyjson_mut_obj_add_real(d, root, "total_mb",
                                std::ldexp(static_cast<double>(total_bytes), -20));
    }
    int status = finish_json(doc.get(), out);
    // Every file is either done or failed: none at all is the call's failure.
    if (r.items.empty()) {
        set_err("no audio files found in %s", in_dir);
        return -1;
    }
    return status;
}
