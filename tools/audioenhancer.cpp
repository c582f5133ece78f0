// Command-line host: a thin program over the public header.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <yyjson.h>

#include "audioenhancer.h"
#include "base/lists.h"

namespace {

// The names with sep between them, and last_sep (when given) before the last.
std::string joined(const std::vector<const char*>& names, const char* sep,
                   const char* last_sep = nullptr) {
    std::string text;
    for (size_t i = 0; i < names.size(); i++) {
        if (i) text += last_sep && i + 1 == names.size() ? last_sep : sep;
        text += names[i];
    }
    return text;
}

std::vector<const char*> output_exts() {
    std::vector<const char*> exts;
    for (const output_container& c : OUTPUT_CONTAINERS) exts.push_back(c.ext);
    return exts;
}

// What --eq takes: the presets and the name for none.
std::vector<const char*> eq_choices() {
    std::vector<const char*> names(std::begin(EQ_PRESET_NAMES), std::end(EQ_PRESET_NAMES));
    names.push_back(EQ_OFF);
    return names;
}

// text as lines of at most width characters, broken at spaces.
std::string wrapped(const std::string& text, size_t width) {
    std::string out, line, word;
    std::istringstream words(text);
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return line.empty() ? out : out + line + "\n";
}

std::vector<const char*> converted_exts() {
    return std::vector<const char*>(std::begin(BATCH_CONVERTED), std::end(BATCH_CONVERTED));
}

const std::string MAIN_HELP =
    "audioenhancer - clean up and level recordings of speech and music\n"
    "\n"
    "usage: audioenhancer COMMAND [ARGS] [options]\n"
    "\n"
    "commands:\n"
    "  probe FILE               describe and measure one file\n"
    "  enhance IN OUT           enhance one file; OUT's extension picks the format\n"
    "                           (" + joined(output_exts(), ", ") + ")\n"
    "  batch INDIR OUTDIR       enhance every audio file of a directory\n"
    "  version                  print the library version\n"
    "\n"
    "Run 'audioenhancer COMMAND --help' for a command's options.\n"
    "Exit status: 0 ok, 1 the library failed, 2 usage error, 3 some batch files failed.\n";

const char* const OUTPUT_HELP =
    "output:\n"
    "  --json                   print the library's JSON answer exactly as returned\n"
    "  --pretty                 print the JSON answer indented\n";

const std::string ENHANCE_OPTIONS_HELP =
    "options:\n"
    "  --denoise N              RNNoise strength 0..10; 8..10 add spectral denoise (default 0, off)\n"
    "  --no-loudnorm            skip loudness normalisation (default: on)\n"
    "  --target LUFS            integrated loudness target, -70..0; -5 is the loudest, higher\n"
    "                           targets level to -5 (default -14)\n"
    "  --repair-clicks          remove clicks and pops (default off)\n"
    "  --eq PRESET              " + joined(eq_choices(), ", ", " or ") + " (default " + EQ_OFF + ")\n"
    "  --normalize-peak         lift the true peak to -0.1 dBTP before levelling (default off)\n"
    "  --jobs N                 batch: files enhanced side by side (default 0, one per\n"
    "                           processor; 1 = one after another)\n"
    "  --options JSON           a whole options document instead of the flags above\n";

const char* const PROBE_HELP =
    "usage: audioenhancer probe FILE [--json | --pretty]\n"
    "\n"
    "Decodes FILE and reports duration, sample rate, channels, codec, container,\n"
    "integrated loudness (LUFS), true peak (dBTP) and noise floor (dB).\n"
    "\n"
    "example:\n"
    "  audioenhancer probe interview.mp3\n";

const char* const ENHANCE_HELP =
    "usage: audioenhancer enhance IN OUT [options] [--json | --pretty]\n"
    "\n"
    "Decodes IN, optionally denoises, repairs clicks and equalises, levels it to\n"
    "the target loudness and writes OUT in the format of its extension.\n"
    "\n"
    "examples:\n"
    "  audioenhancer enhance interview.mp3 interview.m4a --denoise 5 --eq podcast\n"
    "  audioenhancer enhance live.flac live.opus --target -16 --repair-clicks\n";

const std::string BATCH_HELP =
    "usage: audioenhancer batch INDIR OUTDIR [options] [--json | --pretty]\n"
    "\n" +
    wrapped("Enhances every audio file of INDIR (not recursive) into OUTDIR, which is created. " +
                joined(output_exts(), " ") + " keep their format; " +
                joined(converted_exts(), " ") + " become ." +
                BATCH_CONVERTED_TO + ". Exit status 3 when some files failed.",
            76) +
    "\n"
    "example:\n"
    "  audioenhancer batch raw/ done/ --options '{\"denoise\":3,\"eq\":\"voice\"}'\n";

enum class output_mode { table, json, pretty };

int usage_error(const std::string& why, const std::string& help) {
    std::fprintf(stderr, "audioenhancer: %s\n", why.c_str());
    std::fprintf(stderr, "%s", help.c_str());
    return 2;
}

void print_help(const std::string& text, bool with_options) {
    std::printf("%s\n%s%s", text.c_str(), with_options ? ENHANCE_OPTIONS_HELP.c_str() : "",
                OUTPUT_HELP);
}

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

struct command_line {
    std::string positional[2];
    int npositional = 0;
    std::string options;  // JSON document for enhance and batch
    output_mode mode = output_mode::table;
    bool help = false;
};

// Parses what follows the command name. Returns an empty text or the usage
// problem found.
std::string parse_args(int argc, char** argv, bool takes_options, int want_positional,
                       command_line* cl) {
    std::string members;
    auto add = [&](const std::string& m) { members += (members.empty() ? "" : ",") + m; };
    const char* whole = nullptr;
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        std::string problem;
        auto value = [&]() -> const char* {
            if (i + 1 < argc) return argv[++i];
            problem = a + " needs a value";
            return nullptr;
        };
        if (a == "--help" || a == "-h") {
            cl->help = true;
        } else if (a == "--json") {
            cl->mode = output_mode::json;
        } else if (a == "--pretty") {
            cl->mode = output_mode::pretty;
        } else if (!takes_options && a.rfind("--", 0) == 0) {
            return "unknown option " + a;
        } else if (a == "--denoise") {
            const char* v = value();
            long n;
            if (!v) return problem;
            if (!parse_int(v, 0, 10, &n))
                return "--denoise takes a whole number from 0 to 10, not '" + std::string(v) + "'";
            add("\"denoise\":" + std::to_string(n));
        } else if (a == "--no-loudnorm") {
            add("\"loudnorm\":false");
        } else if (a == "--target") {
            const char* v = value();
            double t;
            if (!v) return problem;
            if (!parse_real(v, -70.0, 0.0, &t))
                return "--target takes a loudness from -70 to 0 LUFS, not '" + std::string(v) + "'";
            char buf[64];
            std::snprintf(buf, sizeof buf, "\"target_lufs\":%.17g", t);
            add(buf);
        } else if (a == "--repair-clicks") {
            add("\"repair_clicks\":true");
        } else if (a == "--eq") {
            const char* v = value();
            if (!v) return problem;
            std::string p = v;
            std::vector<const char*> choices = eq_choices();
            if (std::none_of(choices.begin(), choices.end(), [&](const char* c) { return p == c; }))
                return "--eq takes " + joined(choices, ", ", " or ") + ", not '" + p + "'";
            add("\"eq\":\"" + p + "\"");
        } else if (a == "--normalize-peak") {
            add("\"normalize_peak\":true");
        } else if (a == "--jobs") {
            const char* v = value();
            long n;
            if (!v) return problem;
            if (!parse_int(v, 0, 256, &n))
                return "--jobs takes a whole number from 0 to 256, not '" + std::string(v) + "'";
            add("\"jobs\":" + std::to_string(n));
        } else if (a == "--options") {
            whole = value();
            if (!whole) return problem;
            yyjson_doc* doc = yyjson_read(whole, std::strlen(whole), 0);
            bool is_obj = yyjson_is_obj(yyjson_doc_get_root(doc));
            yyjson_doc_free(doc);
            if (!is_obj) return "--options takes a JSON object, such as '{\"denoise\":3}'";
        } else if (a.rfind("--", 0) == 0) {
            return "unknown option " + a;
        } else if (cl->npositional < want_positional) {
            cl->positional[cl->npositional++] = a;
        } else {
            return "unexpected argument '" + a + "'";
        }
    }
    if (cl->help) return "";
    if (cl->npositional < want_positional) return "missing arguments";
    if (whole && !members.empty()) return "--options cannot be combined with other option flags";
    cl->options = whole ? whole : "{" + members + "}";
    return "";
}

int library_failure() {
    std::fprintf(stderr, "audioenhancer: %s\n", audioenhancer_last_error());
    return 1;
}

// Prints the answer as JSON (exactly as returned, or indented).
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

// One row per file and the totals, to `out`. Returns the failed count.
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

// Regular, non-hidden entries of dir; with since > 0 only those modified
// since then.
int count_files(const std::string& dir, time_t since) {
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    int n = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        struct stat st;
        std::string p = dir + "/" + e->d_name;
        if (stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime >= since) n++;
    }
    closedir(d);
    return n;
}

// A live status line on stderr while the library works, only on a terminal.
// The library has no callbacks, so the line is drawn from outside: elapsed
// time and, for a batch, the outputs that have appeared so far.
class status_line {
public:
    status_line(std::string what, std::string in_dir, std::string out_dir)
        : what_(std::move(what)), in_dir_(std::move(in_dir)), out_dir_(std::move(out_dir)) {
        if (!isatty(STDERR_FILENO)) return;
        thread_ = std::thread([this] { run(); });
    }
    ~status_line() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
            std::fprintf(stderr, "\r\033[K");
        }
    }

private:
    void run() {
        auto start = std::chrono::steady_clock::now();
        time_t since = std::time(nullptr);
        int inputs = in_dir_.empty() ? 0 : count_files(in_dir_, 0);
        while (!done_) {
            double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (in_dir_.empty())
                std::fprintf(stderr, "\r\033[K%s ... %.0f s", what_.c_str(), s);
            else
                std::fprintf(stderr, "\r\033[K%s ... %.0f s, %d written of %d files in %s",
                             what_.c_str(), s, count_files(out_dir_, since), inputs, in_dir_.c_str());
            std::fflush(stderr);
            for (int i = 0; i < 5 && !done_; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::string what_, in_dir_, out_dir_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

bool is_file(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool is_dir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int run_probe(int argc, char** argv) {
    command_line cl;
    std::string problem = parse_args(argc, argv, false, 1, &cl);
    if (!problem.empty()) return usage_error(problem, PROBE_HELP);
    if (cl.help) return print_help(PROBE_HELP, false), 0;
    const std::string& path = cl.positional[0];
    if (!is_file(path)) return usage_error("no such file: " + path, PROBE_HELP);
    const char* json = nullptr;
    if (audioenhancer_probe(path.c_str(), &json) != 0) return library_failure();
    if (cl.mode == output_mode::table)
        print_probe_table(path.c_str(), json);
    else
        print_json(json, cl.mode);
    return 0;
}

int run_enhance(int argc, char** argv) {
    command_line cl;
    std::string problem = parse_args(argc, argv, true, 2, &cl);
    if (!problem.empty()) return usage_error(problem, ENHANCE_HELP);
    if (cl.help) return print_help(ENHANCE_HELP, true), 0;
    const std::string& in = cl.positional[0];
    if (!is_file(in)) return usage_error("no such file: " + in, ENHANCE_HELP);
    const char* json = nullptr;
    int rc;
    {
        status_line status("enhancing " + in, "", "");
        rc = audioenhancer_enhance(in.c_str(), cl.positional[1].c_str(), cl.options.c_str(), &json);
    }
    if (rc != 0) return library_failure();
    if (cl.mode == output_mode::table) {
        print_enhance_table(json);
    } else {
        print_json(json, cl.mode);
        std::fprintf(stderr, "%s\n", enhance_line(json).c_str());
    }
    return 0;
}

int run_batch(int argc, char** argv) {
    command_line cl;
    std::string problem = parse_args(argc, argv, true, 2, &cl);
    if (!problem.empty()) return usage_error(problem, BATCH_HELP);
    if (cl.help) return print_help(BATCH_HELP, true), 0;
    const std::string& in = cl.positional[0];
    if (!is_dir(in)) return usage_error("no such directory: " + in, BATCH_HELP);
    const char* json = nullptr;
    int rc;
    {
        status_line status("batch", in, cl.positional[1]);
        rc = audioenhancer_batch(in.c_str(), cl.positional[1].c_str(), cl.options.c_str(), &json);
    }
    long failed = 0;
    if (json) {
        if (cl.mode == output_mode::table) {
            failed = print_batch_table(stdout, json);
        } else {
            print_json(json, cl.mode);
            failed = print_batch_table(stderr, json);
        }
    }
    if (rc != 0) return library_failure();
    return failed > 0 ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage_error("missing command", MAIN_HELP);
    std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::printf("%s", MAIN_HELP.c_str());
        return 0;
    }
    if (cmd == "--version" || cmd == "version") {
        if (argc > 2) return usage_error("version takes no arguments", MAIN_HELP);
        std::printf("audioenhancer %s\n", audioenhancer_version());
        return 0;
    }
    if (cmd == "probe") return run_probe(argc, argv);
    if (cmd == "enhance") return run_enhance(argc, argv);
    if (cmd == "batch") return run_batch(argc, argv);
    return usage_error("unknown command '" + cmd + "'", MAIN_HELP);
}
