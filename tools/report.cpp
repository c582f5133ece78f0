#include "report.h"

#include <cstdlib>
#include <cstring>

#include <yyjson.h>

namespace {

struct answer {
    yyjson_doc* doc;
    yyjson_val* root;
    explicit answer(const char* json)
        : doc(yyjson_read(json, std::strlen(json), 0)), root(yyjson_doc_get_root(doc)) {}
    ~answer() { yyjson_doc_free(doc); }
    double num(const char* key, yyjson_val* obj = nullptr) const {
        return yyjson_get_num(yyjson_obj_get(obj ? obj : root, key));
    }
    const char* str(const char* key, yyjson_val* obj = nullptr) const {
        const char* s = yyjson_get_str(yyjson_obj_get(obj ? obj : root, key));
        return s ? s : "";
    }
};

std::string applied_text(const answer& a) {
    std::string steps;
    size_t i, n;
    yyjson_val* v;
    yyjson_arr_foreach(yyjson_obj_get(a.root, "applied"), i, n, v)
        steps += (steps.empty() ? "" : ", ") + std::string(yyjson_get_str(v));
    return steps.empty() ? "nothing" : steps;
}

}  // namespace

void print_json(const char* json, output_mode mode) {
    if (mode == output_mode::json) {
        std::printf("%s\n", json);
        return;
    }
    yyjson_doc* doc = yyjson_read(json, std::strlen(json), 0);
    char* pretty = yyjson_write(doc, YYJSON_WRITE_PRETTY_TWO_SPACES, nullptr);
    std::printf("%s\n", pretty ? pretty : json);
    std::free(pretty);
    yyjson_doc_free(doc);
}

void print_probe_table(const char* path, const char* json) {
    answer a(json);
    std::printf("%-14s %s\n", "file", path);
    std::printf("%-14s %.3f s\n", "duration", a.num("duration_s"));
    std::printf("%-14s %.0f Hz\n", "sample rate", a.num("sample_rate"));
    std::printf("%-14s %.0f\n", "channels", a.num("channels"));
    std::printf("%-14s %s\n", "codec", a.str("codec"));
    std::printf("%-14s %s\n", "container", a.str("format"));
    std::printf("%-14s %.1f LUFS\n", "loudness", a.num("loudness_lufs"));
    std::printf("%-14s %.1f dBTP\n", "true peak", a.num("true_peak_db"));
    std::printf("%-14s %.1f dB\n", "noise floor", a.num("noisefloor_db"));
}

std::string enhance_line(const char* json) {
    answer a(json);
    char buf[1024];
    std::snprintf(buf, sizeof buf, "%s: %.1f -> %.1f LUFS, peak %.1f -> %.1f dBTP, %.2f MB, applied: %s",
                  a.str("output"), a.num("before_lufs"), a.num("after_lufs"), a.num("before_peak"),
                  a.num("after_peak"), a.num("size_mb"), applied_text(a).c_str());
    return buf;
}

void print_enhance_table(const char* json) {
    answer a(json);
    std::printf("%-10s %s\n", "output", a.str("output"));
    std::printf("%-10s %.1f -> %.1f LUFS\n", "loudness", a.num("before_lufs"), a.num("after_lufs"));
    std::printf("%-10s %.1f -> %.1f dBTP\n", "true peak", a.num("before_peak"), a.num("after_peak"));
    std::printf("%-10s %.3f s\n", "duration", a.num("duration_s"));
    std::printf("%-10s %.2f MB\n", "size", a.num("size_mb"));
    std::printf("%-10s %s\n", "applied", applied_text(a).c_str());
}

long print_batch_table(FILE* out, const char* json) {
    answer a(json);
    size_t i, n;
    yyjson_val* f;
    yyjson_arr_foreach(yyjson_obj_get(a.root, "files"), i, n, f) {
        if (yyjson_obj_get(f, "error"))
            std::fprintf(out, "%-32s failed: %s\n", a.str("in", f), a.str("error", f));
        else
            std::fprintf(out, "%-32s ok -> %s (%.0f bytes)\n", a.str("in", f), a.str("out", f),
                         a.num("size_bytes", f));
    }
    long failed = static_cast<long>(a.num("failed"));
    std::fprintf(out, "total: %.0f processed, %ld failed, %.0f skipped, %.2f MB\n",
                 a.num("processed"), failed, a.num("skipped"), a.num("total_mb"));
    return failed;
}
