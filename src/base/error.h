// Last-error text shared by every call of the library.
#pragma once
#include <new>

// The message of the last failure on this thread; empty from the start of
// each working call. Worker threads inside a call each have their own.
extern thread_local char g_err[1024];

// What audioenhancer_last_error returns: the calling thread copies its
// g_err here when a working call ends, so a host may ask from any thread.
extern char g_last_error[1024];
void publish_err();

// Formats a message into g_err (cut at 1023 characters). The arguments may
// point into g_err itself: the text is formatted before g_err is written.
// Echoes "[AE] <message>" to stderr when AE_DEBUG is set.
void set_err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

inline void clear_err() { g_err[0] = '\0'; }

// True when the diagnostic variable AE_DEBUG is set (to anything, even ""),
// as the process read it once (process_settings in base/settings.h).
bool debug_on();

// Runs fn, a step that returns 0 or -1 after set_err: an allocation that
// fails inside it becomes "oom" and -1, as the step's own failures are.
template <typename Fn>
int guarded(Fn&& fn) {
    try {
        return fn();
    } catch (const std::bad_alloc&) {
        set_err("oom");
        return -1;
    }
}

// guarded, and whatever else is thrown becomes "internal error" and -1: for
// the places nothing thrown may pass (a thread's body, a working call).
template <typename Fn>
int guarded_all(Fn&& fn) noexcept {
    try {
        return guarded(fn);
    } catch (...) {
        set_err("internal error");
        return -1;
    }
}
