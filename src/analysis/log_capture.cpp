#include "analysis/log_capture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

extern "C" {
#include <libavutil/log.h>
}

#include "base/error.h"
#include "engine/graph.h"

// The capture buffer lives on the heap, one per thread, allocated zeroed on
// the thread's first capture: a 1 MiB static TLS block would keep the
// library from loading with dlopen. calloc leaves the pages no message
// reaches untouched.
static thread_local heap_ptr<char> t_logbuf;
static thread_local size_t t_logpos = 0;
static thread_local bool t_capturing = false;

// FFmpeg hands a custom callback every message at every level; the capture
// keeps only what its own level lets through.
static const int CAPTURE_LEVEL = AV_LOG_INFO;

void log_cb(void* ctx, int level, const char* fmt, va_list args) {
    if (!t_capturing) {
        if (debug_on()) av_log_default_callback(ctx, level, fmt, args);
        return;
    }
    char* buf = t_logbuf.get();
    if ((level & 0xff) > CAPTURE_LEVEL) return;
    if (t_logpos >= LOG_CAPACITY - 1) return;
    size_t room = LOG_CAPACITY - t_logpos;
    int n = std::vsnprintf(buf + t_logpos, room, fmt, args);
    if (n > 0) t_logpos += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

const char* log_capture_text() { return t_logbuf.get(); }

size_t log_capture_size() { return t_logpos; }

void log_install() {
    av_log_set_level(CAPTURE_LEVEL);
    av_log_set_callback(log_cb);
}

void log_capture_begin() {
    if (!t_logbuf) t_logbuf.reset(static_cast<char*>(std::calloc(LOG_CAPACITY, 1)));
    if (!t_logbuf) throw std::bad_alloc();
    t_logpos = 0;
    t_logbuf.get()[0] = '\0';
    t_capturing = true;
    // Every export installs the callback as its call begins; a capture only
    // makes sure of it once, since captures run on several threads at once.
    static std::once_flag installed;
    std::call_once(installed, log_install);
}

void log_capture_end() { t_capturing = false; }

void log_capture_store(const char* text, size_t size) {
    if (!t_logbuf) t_logbuf.reset(static_cast<char*>(std::calloc(LOG_CAPACITY, 1)));
    if (!t_logbuf) throw std::bad_alloc();
    t_logpos = size < LOG_CAPACITY - 1 ? size : LOG_CAPACITY - 1;
    std::memcpy(t_logbuf.get(), text, t_logpos);
    t_logbuf.get()[t_logpos] = '\0';
}

int capture_chain(const char* chain, const int16_t* pcm, int64_t frames, int sample_rate,
                  int channels, void (*meta_fn)(void*, const AVDictionary*), void* meta_ctx) {
    log_capture_begin();
    graph_context g;
    if (graph_setup(&g, chain, sample_rate, channels) != 0) {
        log_capture_end();
        return CAPTURE_SETUP_FAILED;
    }
    g.meta_fn = meta_fn;
    g.meta_ctx = meta_ctx;
    int64_t out_frames = 0;
    int rc = graph_run(&g, pcm, frames, nullptr, &out_frames);
    // The callback stays until the graph is gone: the reports come now.
    graph_release(&g);
    log_capture_end();
    return rc == 0 ? 0 : CAPTURE_RUN_FAILED;
}

void write_log_file(const char* name) {
    if (!t_logbuf) return;
    FILE* f = std::fopen(name, "w");
    if (!f) return;
    std::fwrite(t_logbuf.get(), 1, t_logpos, f);
    std::fclose(f);
}

void parse_label(const char* text, const char* label, double* out) {
    if (!text) return;
    const char* p = std::strstr(text, label);
    if (!p) return;
    p += std::strlen(label);
    while (*p == ' ' || *p == '\t') p++;
    *out = std::strtod(p, nullptr);
}
