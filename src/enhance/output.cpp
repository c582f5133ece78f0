#include "enhance/output.h"

#include <cstdio>
#include <cstring>

#include "analysis/packet_measure.h"
#include "base/error.h"
#include "base/lists.h"
#include "engine/decoder.h"
#include "engine/encoder.h"
#include "engine/graph.h"
#include "engine/pipe.h"

bool lossless_output(const char* path) {
    const char* dot = std::strrchr(path, '.');
    const output_container* c = dot ? output_container_of(dot + 1) : nullptr;
    return c && c->lossless;
}

namespace {

// Decodes and measures the written file; false when it cannot be read.
bool measure_file(const char* path, const settings& cfg, loudness_stats* st) {
    decoder_state dec;
    return decode_open(&dec, path) == 0 &&
           measure_decoded(&dec, cfg, st, measure_kind::level) == 0;
}

// Frames the written file decodes to, -1 when it cannot be read.
int64_t count_file_frames(const char* path) {
    decoder_state dec;
    int64_t frames = 0;
    auto count = [](void*, const int16_t*, int64_t) { return 0; };
    if (decode_open(&dec, path) != 0 || decode_each(&dec, count, nullptr, &frames) != 0)
        return -1;
    return frames;
}

// Where the samples go: into the writer, or with threads into the
// encoder's queue; for lossless outputs into the after-measure too.
struct output_sinks {
    writer_state* writer = nullptr;
    int channels = 0;
    block_queue* encoder = nullptr;
    measure_stream* measure = nullptr;
    int64_t frames = 0;
};

int to_outputs(void* ctx, const int16_t* pcm, int64_t frames) {
    output_sinks* o = static_cast<output_sinks*>(ctx);
    o->frames += frames;
    if (!o->encoder) {
        if (writer_push(o->writer, pcm, frames) != 0) return -1;
        if (o->measure && !measure_stream_push(o->measure, pcm, frames, o->channels))
            o->measure = nullptr;
        return 0;
    }
    block_ptr b = make_block(pcm, frames, o->channels);
    if (!queue_push(o->encoder, b)) {
        set_err("encoder stopped");
        return -1;
    }
    if (o->measure && !measure_stream_push(o->measure, b)) o->measure = nullptr;
    return 0;
}

// The encoder's thread: blocks from the queue into the writer.
int encode_from_queue(writer_state* w, block_queue* q) {
    cancel_at_exit<block_ptr> stop_producer{q};
    block_ptr b;
    while (queue_pop(q, &b))
        if (writer_push(w, b->samples.data(), b->frames) != 0) return -1;
    return 0;
}

// Hands pcm to the outputs in the blocks a chain's output would come in.
int pcm_into(const int16_t* pcm, int64_t frames, int channels, output_sinks* o) {
    for (int64_t at = 0; at < frames; at += GRAPH_CHUNK) {
        int64_t n = frames - at < GRAPH_CHUNK ? frames - at : GRAPH_CHUNK;
        if (to_outputs(o, pcm + at * channels, n) != 0) return -1;
    }
    return 0;
}

// Writes the PCM to out_path. With threads the encoder runs on its own
// thread, and the after-measure beside it: for WAV and FLAC on the samples
// as they go, for the lossy outputs on the encoder's packets. *streamed
// says whether *after holds it.
int write_output(const output_audio& a, const char* out_path, const settings& cfg,
                 loudness_stats* after, bool* streamed) {
    const int rate = a.rate, channels = a.channels;
    *streamed = false;
    writer_ptr w;
    if (writer_open(&w, out_path, rate, channels, a.source) != 0) return -1;
    output_sinks o;
    o.writer = w.get();
    o.channels = channels;
    measure_stream m;
    const bool lossless = lossless_output(out_path);
    if (lossless && measure_stream_start(&m, rate, channels, cfg, measure_kind::level) == 0)
        o.measure = &m;
    packet_measure packets;
    bool packets_measured = false;
    if (!lossless && threads_enabled(cfg)) {
        packets_measured = packet_measure_start(&packets, writer_codec_parameters(w.get()), cfg) == 0;
        if (packets_measured) writer_set_tap(w.get(), packet_measure_tap, &packets);
    }

    block_queue encoder;
    worker encoding;
    // Declared after the worker, so a producer that throws cancels the queue
    // before the worker is joined.
    cancel_at_exit<block_ptr> stop_encoder{&encoder};
    if (threads_enabled(cfg)) {
        writer_state* raw = w.get();
        if (worker_start(&encoding, [raw, &encoder] { return encode_from_queue(raw, &encoder); }) !=
            0)
            return -1;
        o.encoder = &encoder;
    }
    int rc = pcm_into(a.pcm, a.frames, channels, &o);
    if (o.encoder) {
        if (rc != 0) queue_cancel(&encoder);
        queue_close(&encoder);
        if (worker_join(&encoding) != 0) rc = -1;
    }
    if (rc != 0) return -1;
    if (writer_close(w.get()) != 0) return -1;

    if (o.measure && measure_stream_finish(&m, after) == 0 &&
        count_file_frames(out_path) == o.frames)
        *streamed = true;
    if (packets_measured) {
        *streamed = packet_measure_finish(&packets, out_path, after);
        if (debug_on())
            std::fprintf(stderr, "[AE] after-measure: %s\n",
                         *streamed ? "the encoder's packets, as the file decodes"
                                   : "the packets differ from the file: the file");
    }
    return 0;
}

}  // namespace

int write_measured(const output_audio& a, const char* out_path, const settings& cfg,
                   loudness_stats* after, bool* measured) {
    bool streamed = false;
    if (write_output(a, out_path, cfg, after, &streamed) != 0) return -1;
    *measured =
        (streamed || measure_file(out_path, cfg, after)) && !(after->integrated < -900.0);
    return 0;
}
