#include "base/error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/settings.h"

thread_local char g_err[1024];
char g_last_error[1024];

void publish_err() { std::memcpy(g_last_error, g_err, sizeof g_last_error); }

bool debug_on() { return process_settings().debug; }

void set_err(const char* fmt, ...) {
    // Format first, copy after: an argument may be g_err itself, wrapped by
    // an outer message.
    char text[sizeof g_err];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (n < 0) text[0] = '\0';
    std::memcpy(g_err, text, sizeof text);
    if (debug_on()) std::fprintf(stderr, "[AE] %s\n", g_err);
}
