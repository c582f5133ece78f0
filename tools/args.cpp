#include "args.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <yyjson.h>

#include "help_text.h"

namespace {

// Where the walk over the arguments is, and the option flags read so far.
struct arg_walk {
    int argc;
    char** argv;
    int i;  // the argument being read
    bool takes_options;
    int want_positional;
    std::string members;          // the option flags, as members of a JSON object
    const char* whole = nullptr;  // --options' document
};

bool parse_int(const char* s, long lo, long hi, long* out) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (!*s || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parse_real(const char* s, double lo, double hi, double* out) {
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (!*s || *end || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

void add_member(arg_walk* w, const std::string& m) {
    w->members += (w->members.empty() ? "" : ",") + m;
}

// Each reader below takes a flag's value and returns an empty text or the
// problem with it.
std::string read_denoise(const char* v, arg_walk* w) {
    long n;
    if (!parse_int(v, 0, 10, &n))
        return "--denoise takes a whole number from 0 to 10, not '" + std::string(v) + "'";
    add_member(w, "\"denoise\":" + std::to_string(n));
    return "";
}

std::string read_target(const char* v, arg_walk* w) {
    double t;
    if (!parse_real(v, -70.0, 0.0, &t))
        return "--target takes a loudness from -70 to 0 LUFS, not '" + std::string(v) + "'";
    char buf[64];
    std::snprintf(buf, sizeof buf, "\"target_lufs\":%.17g", t);
    add_member(w, buf);
    return "";
}

std::string read_eq(const char* v, arg_walk* w) {
    std::string p = v;
    std::vector<const char*> choices = eq_choices();
    if (std::none_of(choices.begin(), choices.end(), [&](const char* c) { return p == c; }))
        return "--eq takes " + joined(choices, ", ", " or ") + ", not '" + p + "'";
    add_member(w, "\"eq\":\"" + p + "\"");
    return "";
}

std::string read_jobs(const char* v, arg_walk* w) {
    long n;
    if (!parse_int(v, 0, 256, &n))
        return "--jobs takes a whole number from 0 to 256, not '" + std::string(v) + "'";
    add_member(w, "\"jobs\":" + std::to_string(n));
    return "";
}

std::string read_options(const char* v, arg_walk* w) {
    w->whole = v;
    yyjson_doc* doc = yyjson_read(v, std::strlen(v), 0);
    bool is_obj = yyjson_is_obj(yyjson_doc_get_root(doc));
    yyjson_doc_free(doc);
    if (!is_obj) return "--options takes a JSON object, such as '{\"denoise\":3}'";
    return "";
}

struct valued_flag {
    const char* name;
    std::string (*read)(const char* v, arg_walk* w);
};

const valued_flag VALUED_FLAGS[] = {
    {"--denoise", read_denoise}, {"--target", read_target},   {"--eq", read_eq},
    {"--jobs", read_jobs},       {"--options", read_options},
};

// Flags without a value, and the member each adds.
struct switch_flag {
    const char* name;
    const char* member;
};

const switch_flag SWITCH_FLAGS[] = {
    {"--no-loudnorm", "\"loudnorm\":false"},
    {"--repair-clicks", "\"repair_clicks\":true"},
    {"--normalize-peak", "\"normalize_peak\":true"},
};

// The option flag at w->i; a flag's value is the argument after it.
std::string read_option_flag(arg_walk* w) {
    const std::string a = w->argv[w->i];
    for (const switch_flag& s : SWITCH_FLAGS) {
        if (a != s.name) continue;
        add_member(w, s.member);
        return "";
    }
    for (const valued_flag& f : VALUED_FLAGS) {
        if (a != f.name) continue;
        if (w->i + 1 >= w->argc) return a + " needs a value";
        return f.read(w->argv[++w->i], w);
    }
    return "unknown option " + a;
}

// The argument at w->i: the output and help flags hold for every command,
// option flags only for the commands that take them.
std::string read_arg(arg_walk* w, command_line* cl) {
    const std::string a = w->argv[w->i];
    if (a == "--help" || a == "-h") {
        cl->help = true;
    } else if (a == "--json") {
        cl->mode = output_mode::json;
    } else if (a == "--pretty") {
        cl->mode = output_mode::pretty;
    } else if (a.rfind("--", 0) == 0) {
        return w->takes_options ? read_option_flag(w) : "unknown option " + a;
    } else if (cl->npositional < w->want_positional) {
        cl->positional[cl->npositional++] = a;
    } else {
        return "unexpected argument '" + a + "'";
    }
    return "";
}

}  // namespace

std::string parse_args(int argc, char** argv, bool takes_options, int want_positional,
                       command_line* cl) {
    arg_walk w{argc, argv, 2, takes_options, want_positional, "", nullptr};
    for (; w.i < argc; w.i++) {
        std::string problem = read_arg(&w, cl);
        if (!problem.empty()) return problem;
    }
    if (cl->help) return "";
    if (cl->npositional < want_positional) return "missing arguments";
    if (w.whole && !w.members.empty()) return "--options cannot be combined with other option flags";
    cl->options = w.whole ? w.whole : "{" + w.members + "}";
    return "";
}
