// Command-line host: a thin program over the public header.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <yyjson.h>

#include "audioenhancer.h"

namespace {

const char* const USAGE =
    "usage: audioenhancer version\n"
    "       audioenhancer probe FILE\n"
    "       audioenhancer enhance IN OUT [options]\n"
    "       audioenhancer batch INDIR OUTDIR [options]\n"
    "options:\n"
    "  --denoise N         RNNoise strength 0..10 (default 0, off)\n"
    "  --no-loudnorm       skip loudness normalisation (default on)\n"
    "  --target LUFS       loudness target, -70..0 (default -14)\n"
    "  --repair-clicks     remove clicks and pops\n"
    "  --eq PRESET         podcast, music, voice or none (default none)\n"
    "  --normalize-peak    lift the peak to -0.1 dBTP before levelling\n"
    "  --options JSON      a whole options document instead of the flags\n";

int usage(const char* why) {
    if (why) std::fprintf(stderr, "audioenhancer: %s\n", why);
    std::fputs(USAGE, stderr);
    return 2;
}

bool parse_int(const char* s, long lo, long hi, long* out) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (!*s || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parse_real(const char* s, double* out) {
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (!*s || *end) return false;
    *out = v;
    return true;
}

// Builds the options document from the flags; returns false after a usage
// message on a bad flag.
bool options_from_flags(int argc, char** argv, int first, std::string* doc) {
    std::string members;
    auto add = [&](const std::string& m) { members += (members.empty() ? "" : ",") + m; };
    const char* whole = nullptr;
    for (int i = first; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                usage((std::string(name) + " needs a value").c_str());
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--denoise") {
            const char* v = value("--denoise");
            long n;
            if (!v) return false;
            if (!parse_int(v, 0, 10, &n)) {
                usage("--denoise takes a whole number from 0 to 10");
                return false;
            }
            add("\"denoise\":" + std::to_string(n));
        } else if (a == "--no-loudnorm") {
            add("\"loudnorm\":false");
        } else if (a == "--target") {
            const char* v = value("--target");
            double t;
            if (!v) return false;
            if (!parse_real(v, &t) || t < -70.0 || t > 0.0) {
                usage("--target takes a loudness from -70 to 0 LUFS");
                return false;
            }
            char buf[64];
            std::snprintf(buf, sizeof buf, "\"target_lufs\":%.17g", t);
            add(buf);
        } else if (a == "--repair-clicks") {
            add("\"repair_clicks\":true");
        } else if (a == "--eq") {
            const char* v = value("--eq");
            if (!v) return false;
            std::string p = v;
            if (p != "podcast" && p != "music" && p != "voice" && p != "none") {
                usage("--eq takes podcast, music, voice or none");
                return false;
            }
            add("\"eq\":\"" + p + "\"");
        } else if (a == "--normalize-peak") {
            add("\"normalize_peak\":true");
        } else if (a == "--options") {
            whole = value("--options");
            if (!whole) return false;
        } else {
            usage(("unknown option " + a).c_str());
            return false;
        }
    }
    if (whole && !members.empty()) {
        usage("--options cannot be combined with other option flags");
        return false;
    }
    *doc = whole ? whole : "{" + members + "}";
    return true;
}

int fail() {
    std::fprintf(stderr, "audioenhancer: %s\n", audioenhancer_last_error());
    return 1;
}

double num(yyjson_val* obj, const char* key) { return yyjson_get_num(yyjson_obj_get(obj, key)); }

void print_enhance_summary(const char* json) {
    yyjson_doc* doc = yyjson_read(json, std::strlen(json), 0);
    yyjson_val* root = yyjson_doc_get_root(doc);
    std::string steps;
    yyjson_val* item;
    yyjson_arr_iter it = yyjson_arr_iter_with(yyjson_obj_get(root, "applied"));
    while ((item = yyjson_arr_iter_next(&it)))
        steps += (steps.empty() ? "" : ", ") + std::string(yyjson_get_str(item));
    std::fprintf(stderr, "%s: %.1f -> %.1f LUFS, peak %.1f -> %.1f dBTP, %.2f MB, applied: %s\n",
                 yyjson_get_str(yyjson_obj_get(root, "output")), num(root, "before_lufs"),
                 num(root, "after_lufs"), num(root, "before_peak"), num(root, "after_peak"),
                 num(root, "size_mb"), steps.empty() ? "nothing" : steps.c_str());
    yyjson_doc_free(doc);
}

// One line per file and a total; returns 3 when some file failed.
int print_batch_summary(const char* json) {
    yyjson_doc* doc = yyjson_read(json, std::strlen(json), 0);
    yyjson_val* root = yyjson_doc_get_root(doc);
    yyjson_val* file;
    yyjson_arr_iter it = yyjson_arr_iter_with(yyjson_obj_get(root, "files"));
    while ((file = yyjson_arr_iter_next(&it))) {
        const char* in = yyjson_get_str(yyjson_obj_get(file, "in"));
        if (yyjson_val* err = yyjson_obj_get(file, "error"))
            std::fprintf(stderr, "%s: failed: %s\n", in, yyjson_get_str(err));
        else
            std::fprintf(stderr, "%s: ok -> %s (%lld bytes)\n", in,
                         yyjson_get_str(yyjson_obj_get(file, "out")),
                         static_cast<long long>(num(file, "size_bytes")));
    }
    long long failed = static_cast<long long>(num(root, "failed"));
    std::fprintf(stderr, "total: %lld processed, %lld failed, %lld skipped, %.2f MB\n",
                 static_cast<long long>(num(root, "processed")), failed,
                 static_cast<long long>(num(root, "skipped")), num(root, "total_mb"));
    yyjson_doc_free(doc);
    return failed > 0 ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage(nullptr);
    std::string cmd = argv[1];
    const char* json = nullptr;

    if (cmd == "version" && argc == 2) {
        std::printf("%s\n", audioenhancer_version());
        return 0;
    }
    if (cmd == "probe" && argc == 3) {
        if (audioenhancer_probe(argv[2], &json) != 0) return fail();
        std::printf("%s\n", json);
        return 0;
    }
    if ((cmd == "enhance" || cmd == "batch") && argc >= 4) {
        std::string options;
        if (!options_from_flags(argc, argv, 4, &options)) return 2;
        if (cmd == "enhance") {
            if (audioenhancer_enhance(argv[2], argv[3], options.c_str(), &json) != 0) return fail();
            std::printf("%s\n", json);
            print_enhance_summary(json);
            return 0;
        }
        int rc = audioenhancer_batch(argv[2], argv[3], options.c_str(), &json);
        if (json) {
            std::printf("%s\n", json);
            int some_failed = print_batch_summary(json);
            if (rc == 0) return some_failed;
        }
        return rc == 0 ? 0 : fail();
    }
    return usage("unknown command or wrong number of arguments");
}
