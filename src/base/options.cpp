#include "base/options.h"

#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "base/json_doc.h"
#include "base/lists.h"

// A document without "eq" asks for no EQ.
static_assert(same_name(enhance_options{}.eq, EQ_OFF), "the default eq must be EQ_OFF");

// First member of obj named key, byte for byte; later duplicates are ignored.
static yyjson_val* first_member(yyjson_val* obj, const char* key) {
    size_t len = std::strlen(key);
    yyjson_obj_iter it = yyjson_obj_iter_with(obj);
    while (yyjson_val* k = yyjson_obj_iter_next(&it)) {
        if (yyjson_get_len(k) == len && std::memcmp(yyjson_get_str(k), key, len) == 0)
            return yyjson_obj_iter_get_val(k);
    }
    return nullptr;
}

static int flag_of(yyjson_val* v) { return yyjson_is_true(v) ? 1 : 0; }

int parse_options(const char* text, enhance_options* opt) {
    *opt = enhance_options{};
    if (!text || !*text) return 0;

    // Default flags are strict: no BOM, comments, trailing commas, NaN or
    // Infinity literals, and a real that overflows a double is an error.
    yyjson_read_err err;
    json_read_ptr doc(yyjson_read_opts(const_cast<char*>(text), std::strlen(text),
                                       YYJSON_READ_NOFLAG, nullptr, &err));
    if (!doc) {
        set_err("options JSON parse failed: %.120s", text);
        return -1;
    }
    yyjson_val* root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) {
        set_err("options JSON must be an object");
        return -1;
    }

    if (yyjson_val* v = first_member(root, "denoise")) {
        // Half rounds up; compared as a double so huge values cannot overflow.
        double r = yyjson_is_num(v) ? yyjson_get_num(v) + 0.5 : 0.0;
        opt->denoise = r >= 11.0 ? 10 : (r < 1.0 ? 0 : static_cast<int>(r));
    }
    if (yyjson_val* v = first_member(root, "loudnorm")) opt->loudnorm = flag_of(v);
    if (yyjson_val* v = first_member(root, "target_lufs")) {
        if (yyjson_is_num(v)) {
            double x = yyjson_get_num(v);
            opt->target_lufs = x < -70.0 ? -70.0 : (x > 0.0 ? 0.0 : x);
        } else {
            opt->target_lufs = 0.0;
        }
    }
    if (yyjson_val* v = first_member(root, "repair_clicks")) opt->repair_clicks = flag_of(v);
    if (yyjson_val* v = first_member(root, "eq")) {
        for (const char* name : EQ_PRESET_NAMES)
            if (yyjson_equals_str(v, name)) std::snprintf(opt->eq, sizeof opt->eq, "%s", name);
        if (yyjson_equals_str(v, EQ_OFF)) std::snprintf(opt->eq, sizeof opt->eq, "%s", EQ_OFF);
    }
    if (yyjson_val* v = first_member(root, "normalize_peak")) opt->normalize_peak = flag_of(v);
    if (yyjson_val* v = first_member(root, "jobs")) {
        // Whole workers, at most 256; anything else means the default.
        double n = yyjson_is_num(v) ? yyjson_get_num(v) : 0.0;
        opt->jobs = n >= 256.0 ? 256 : (n >= 1.0 ? static_cast<int>(n) : 0);
    }
    return 0;
}
