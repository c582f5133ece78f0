// Wrappers for every failure point in points.def. Each asks ae_fault_hit
// whether this call fails; if not, it calls the real function.
//
// A point is told apart by its call stack (a hash of the callers' return
// addresses), so a call in a loop is one point however often the loop runs,
// while the same function reached along another path is another point.
#include <dirent.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/base64.h>
#include <libavutil/tx.h>
#include <libswresample/swresample.h>
}
#include <rnnoise.h>
#include <yyjson.h>

#include "fault.h"

namespace {

constexpr int MAX_POINTS = 16384;
constexpr int STACK_DEPTH = 8;

std::atomic<int> g_mode{FAULT_OFF};
std::atomic<bool> g_fired{false};
uint64_t g_target = 0;
std::atomic<uint64_t> g_calls{0};
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;
fault_point g_points[MAX_POINTS];
int g_count = 0;
const char* g_fired_name = "";
thread_local bool t_inside = false;

uint64_t mix(uint64_t h, uint64_t v) { return (h ^ v) * 0x100000001b3ull; }

// The wrapper's callers, from the one that called the wrapped function.
uint64_t stack_key(const char* name) {
    void* frames[STACK_DEPTH + 2];
    int n = backtrace(frames, STACK_DEPTH + 2);
    uint64_t h = 0xcbf29ce484222325ull;
    for (const char* p = name; *p; p++) h = mix(h, static_cast<unsigned char>(*p));
    for (int i = 2; i < n; i++) h = mix(h, reinterpret_cast<uintptr_t>(frames[i]));
    return h;
}

}  // namespace

void fault_arm(int mode, uint64_t target) {
    g_target = target;
    g_fired = false;
    g_count = 0;
    g_calls = 0;
    g_mode = mode;
}

void fault_disarm() { g_mode = FAULT_OFF; }
bool fault_fired() { return g_fired; }
const char* fault_fired_name() { return g_fired_name; }
int fault_point_count() { return g_count; }
const fault_point* fault_points() { return g_points; }
uint64_t fault_call_count() { return g_calls; }

extern "C" bool ae_fault_hit(const char* name) {
    const int mode = g_mode.load();
    if (mode == FAULT_OFF || t_inside) return false;
    t_inside = true;  // backtrace and the table below must not count themselves
    const uint64_t call = ++g_calls;
    const uint64_t key = mode == FAULT_FAIL_CALL ? call : stack_key(name);
    bool fail = false;
    while (g_lock.test_and_set(std::memory_order_acquire)) {
    }
    if (mode == FAULT_RECORD) {
        bool seen = false;
        for (int i = 0; i < g_count && !seen; i++) seen = g_points[i].key == key;
        if (!seen && g_count < MAX_POINTS) g_points[g_count++] = fault_point{key, name};
    } else if (!g_fired && key == g_target) {
        g_fired = true;
        g_fired_name = name;
        fail = true;
    }
    g_lock.clear(std::memory_order_release);
    t_inside = false;
    return fail;
}

#define FAULT_POINT(ret, name, params, args, on_fail)     \
    extern "C" ret __real_##name params;                    \
    extern "C" ret __wrap_##name params {                   \
        if (ae_fault_hit(#name)) {                          \
            on_fail;                                        \
        }                                                   \
        return __real_##name args;                          \
    }
#define FAULT_AFTER(ret, name, params, args, on_fail)     \
    extern "C" ret __real_##name params;                    \
    extern "C" ret __wrap_##name params {                   \
        bool fail = ae_fault_hit(#name);                    \
        ret rc = __real_##name args;                        \
        if (fail) {                                         \
            on_fail;                                        \
        }                                                   \
        return rc;                                          \
    }
#include "points.def"
