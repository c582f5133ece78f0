// Command-line host: a thin program over the public header. The commands
// live here; the argument parsing, help texts, answer printing and status
// line are files of their own beside this one.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "audioenhancer.h"
#include "args.h"
#include "help_text.h"
#include "report.h"
#include "status_line.h"

namespace {

int library_failure() {
    std::fprintf(stderr, "audioenhancer: %s\n", audioenhancer_last_error());
    return 1;
}

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
