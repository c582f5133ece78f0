// Encoding 16-bit PCM into the container named by the path's extension, one
// of OUTPUT_CONTAINERS (base/lists.h).
#pragma once
#include <cstdint>
#include <memory>

struct AVCodecParameters;
struct AVFormatContext;
struct AVPacket;
struct writer_state;

// One output being written. The samples go into a temporary file beside the
// output; writer_close renames it over the output once it is complete. A
// writer destroyed before a successful close removes its temporary file, so
// a file that was at the output path stays as it was.
struct writer_deleter {
    void operator()(writer_state* w) const;
};
using writer_ptr = std::unique_ptr<writer_state, writer_deleter>;

// Opens the output for frames of interleaved 16-bit samples at sample_rate
// with channels channels. source, when not null, is the opened input whose
// tags, chapters and cover picture are carried over as far as the output
// container holds them.
int writer_open(writer_ptr* w, const char* path, int sample_rate, int channels,
                const AVFormatContext* source);

// Sees each packet the encoder gives, before it is written; -1 (after
// set_err) fails the write.
using packet_tap_fn = int (*)(void* ctx, const AVPacket* pkt);
void writer_set_tap(writer_state* w, packet_tap_fn tap, void* ctx);

// What a decoder of the packets needs: the codec, its rate and layout, its
// extradata and its padding.
const AVCodecParameters* writer_codec_parameters(const writer_state* w);

// Encodes frames more frames; any count, any number of calls.
int writer_push(writer_state* w, const int16_t* pcm, int64_t frames);

// Flushes the encoder, writes the trailer, closes the file and moves it to
// its final name. The writer is finished whatever the result.
int writer_close(writer_state* w);

// writer_open + writer_push + writer_close in one step.
int encode_file(const char* path, const int16_t* pcm, int64_t frames, int sample_rate,
                int channels, const AVFormatContext* source = nullptr);
