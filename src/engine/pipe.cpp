#include "engine/pipe.h"

#include <new>
#include <system_error>

#include "base/error.h"
#include "platform/fs.h"

bool threads_enabled(const settings& cfg) { return cfg.threads != 1 && fs_cpu_count() > 1; }

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

int run_beside(const settings& cfg, std::function<int()> beside, std::function<int()> here) {
    if (!threads_enabled(cfg)) {
        const int rc = here();
        const std::string own = g_err;
        if (beside() != 0) return -1;
        if (rc != 0) set_err("%s", own.c_str());
        return rc;
    }
    worker w;
    if (worker_start(&w, std::move(beside)) != 0) return -1;
    const int rc = here();
    if (worker_join(&w) != 0) return -1;
    return rc;
}
