// A live status line on stderr while the library works, only on a terminal.
// The library has no callbacks, so the line is drawn from outside: elapsed
// time and, for a batch, the outputs that have appeared so far.
#pragma once
#include <atomic>
#include <string>
#include <thread>

class status_line {
public:
    // in_dir and out_dir are empty for one file.
    status_line(std::string what, std::string in_dir, std::string out_dir);
    ~status_line();

private:
    void run();
    std::string what_, in_dir_, out_dir_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};
