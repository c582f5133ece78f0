// Last-error text shared by every call of the library.
#pragma once

// The message of the last failure; empty from the start of each working call.
extern char g_err[1024];

// Formats a message into g_err (cut at 1023 characters). The arguments may
// point into g_err itself: the text is formatted before g_err is written.
// Echoes "[AE] <message>" to stderr when AE_DEBUG is set.
void set_err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

inline void clear_err() { g_err[0] = '\0'; }

// True when the diagnostic variable AE_DEBUG is set (to anything, even "").
bool debug_on();
