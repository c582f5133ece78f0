// Writing the result, and measuring what was written.
#pragma once
#include <cstdint>

#include "analysis/measure.h"
#include "base/settings.h"

struct AVFormatContext;

// Outputs whose samples are exactly what they are given (WAV, FLAC): their
// loudness can be measured from those samples while the file is written.
bool lossless_output(const char* path);

// The samples to write, and the input whose tags, cover and chapters the
// file carries over.
struct output_audio {
    const int16_t* pcm = nullptr;
    int64_t frames = 0;
    int rate = 0;
    int channels = 0;
    const AVFormatContext* source = nullptr;
};

// Writes out_path and measures the written file (the level kind): with
// threads the encoder runs on a thread of its own and, for WAV and FLAC, the
// meter on the samples as they go. *measured: whether *after holds the
// file's figures (a file that cannot be read back is no failure here).
int write_measured(const output_audio& a, const char* out_path, const settings& cfg,
                   loudness_stats* after, bool* measured);
