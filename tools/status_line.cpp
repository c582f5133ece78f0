#include "status_line.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

namespace {

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

}  // namespace

status_line::status_line(std::string what, std::string in_dir, std::string out_dir)
    : what_(std::move(what)), in_dir_(std::move(in_dir)), out_dir_(std::move(out_dir)) {
    if (!isatty(STDERR_FILENO)) return;
    thread_ = std::thread([this] { run(); });
}

status_line::~status_line() {
    done_ = true;
    if (thread_.joinable()) {
        thread_.join();
        std::fprintf(stderr, "\r\033[K");
    }
}

void status_line::run() {
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
