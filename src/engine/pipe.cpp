#include "engine/pipe.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include "base/error.h"
#include "platform/fs.h"

static thread_local bool t_single = false;

bool threads_enabled() {
    if (t_single) return false;
    const char* v = std::getenv("AE_THREADS");
    if (v && std::strcmp(v, "1") == 0) return false;
    return fs_cpu_count() > 1;
}

void set_single_threaded(bool single) { t_single = single; }

block_ptr make_block(const int16_t* pcm, int64_t frames, int channels) {
    auto b = std::make_shared<pcm_block>();
    b->samples.assign(pcm, pcm + frames * channels);
    b->frames = frames;
    return b;
}

worker::~worker() {
    if (thread.joinable()) thread.join();
}

int worker_start(worker* w, std::function<int()> task) {
    try {
        w->thread = std::thread([w, task = std::move(task)] {
            clear_err();
            w->rc = guarded_all(task);
            if (w->rc != 0) w->err = g_err[0] ? g_err : "worker failed";
        });
    } catch (const std::system_error&) {
        set_err("cannot start a worker thread");
        return -1;
    }
    return 0;
}

int worker_join(worker* w) {
    if (w->thread.joinable()) w->thread.join();
    if (w->rc != 0) set_err("%s", w->err.c_str());
    return w->rc;
}
