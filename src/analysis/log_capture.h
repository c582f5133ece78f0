// Capture of FFmpeg's log text, and the scanners that read figures from it.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "base/settings.h"

struct AVDictionary;

constexpr size_t LOG_CAPACITY = 1048576;

// Text of this thread's most recent capture, NUL-terminated (null before
// its first), and its length. Each thread has its own.
const char* log_capture_text();
size_t log_capture_size();

// FFmpeg log callback: while this thread captures, appends messages at or
// below the capture's level to its buffer; otherwise passes them to
// FFmpeg's own printer when AE_DEBUG is set and drops them when not.
void log_cb(void* ctx, int level, const char* fmt, va_list args);

// Installs log_cb (every working call does, before its first FFmpeg call).
void log_install();

// Starts a capture on this thread (level AV_LOG_INFO, callback installed).
void log_capture_begin();
// Ends this thread's capture; its text stays as log_capture_text().
void log_capture_end();

// Makes text (cut to the capacity) this thread's capture text, as if it had
// been captured here: what workers captured becomes the caller's.
void log_capture_store(const char* text, size_t size);

// Reads the number after the first `label` at or after text into *out.
void parse_label(const char* text, const char* label, double* out);

// Runs pcm through chain under a capture, dropping the filtered audio: the
// filters' reports, printed while the graph is freed, end up in the capture text.
// Returns 0, CAPTURE_SETUP_FAILED or CAPTURE_RUN_FAILED (g_err set).
constexpr int CAPTURE_SETUP_FAILED = -1;
constexpr int CAPTURE_RUN_FAILED = -2;
// meta_fn, when given, sees the metadata of the output frames (graph.h).
int capture_chain(const char* chain, const int16_t* pcm, int64_t frames, int sample_rate,
                  int channels, void (*meta_fn)(void*, const AVDictionary*) = nullptr,
                  void* meta_ctx = nullptr);

// Writes the published capture to `name` in the current directory.
void write_log_file(const char* name);
