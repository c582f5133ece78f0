// Writing the result, and measuring what was written.
#pragma once
#include <cstdint>
#include <memory>

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

// An output written as its samples come, and its after-measure: with
// threads the encoder runs on a thread of its own and the meter beside it,
// on the samples (WAV, FLAC) or on the encoder's packets. A stream left
// unfinished removes what it wrote; a file at the path stays as it was.
struct output_stream;
struct output_stream_deleter {
    void operator()(output_stream* o) const;
};
using output_stream_ptr = std::unique_ptr<output_stream, output_stream_deleter>;

// Opens path for a's rate, channels and source (a's samples are not read).
int output_begin(output_stream_ptr* o, const output_audio& a, const char* path,
                 const settings& cfg);
// Hands on frames more frames, waiting while the encoder is behind.
int output_push(output_stream* o, const int16_t* pcm, int64_t frames);
// A pcm_sink_fn that never waits: with threads, blocks go on while the
// encoder's queue has room; from the first that finds it full, none is
// taken (output_frames says how many were) and output_push goes on from
// there. Without threads every block is taken.
int output_offer(void* o, const int16_t* pcm, int64_t frames);
int64_t output_frames(const output_stream* o);
// Finishes the file and measures it (the level kind), on the samples or
// packets as they went, else by reading it back. *measured: whether *after
// holds the file's figures (a file that cannot be read back is no failure
// here).
int output_finish(output_stream* o, loudness_stats* after, bool* measured);

// Writes out_path and measures the written file (the level kind): with
// threads the encoder runs on a thread of its own and, for WAV and FLAC, the
// meter on the samples as they go. *measured: whether *after holds the
// file's figures (a file that cannot be read back is no failure here).
int write_measured(const output_audio& a, const char* out_path, const settings& cfg,
                   loudness_stats* after, bool* measured);
