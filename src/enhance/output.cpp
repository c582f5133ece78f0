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

// The encoder's thread: blocks from the queue into the writer.
int encode_from_queue(writer_state* w, block_queue* q) {
    cancel_at_exit<block_ptr> stop_producer{q};
    block_ptr b;
    while (queue_pop(q, &b))
        if (writer_push(w, b->samples.data(), b->frames) != 0) return -1;
    return 0;
}

}  // namespace

// Where the samples go: into the writer, or with threads into the encoder's
// queue; into the after-measure too, for lossless outputs. Members are
// declared so that leaving scope cancels the queue, joins the encoder,
// then the packet meter, and last removes an unfinished file.
struct output_stream {
    std::string path;
    settings cfg;
    writer_ptr writer;
    int channels = 0;
    bool lossless = false;
    measure_stream measure;
    bool measuring = false;
    packet_measure packets;
    bool packets_measured = false;
    block_queue queue;
    worker encoding;
    bool threaded = false;
    bool offering = true;  // offers are still taken
    int64_t frames = 0;
    ~output_stream() { queue_cancel(&queue); }
};

void output_stream_deleter::operator()(output_stream* o) const { delete o; }

int output_begin(output_stream_ptr* out, const output_audio& a, const char* path,
                 const settings& cfg) {
    output_stream_ptr o(new output_stream);
    o->path = path;
    o->cfg = cfg;
    // Room for the encoder to fall some 20 seconds behind what is offered.
    o->queue.capacity = 256;
    o->channels = a.channels;
    o->lossless = lossless_output(path);
    if (writer_open(&o->writer, path, a.rate, a.channels, a.source) != 0) return -1;
    if (o->lossless)
        o->measuring = measure_stream_start(&o->measure, a.rate, a.channels, cfg,
                                            measure_kind::level) == 0;
    if (threads_enabled(cfg)) {
        if (!o->lossless) {
            o->packets_measured = packet_measure_start(&o->packets,
                                                       writer_codec_parameters(o->writer.get()),
                                                       cfg) == 0;
            if (o->packets_measured)
                writer_set_tap(o->writer.get(), packet_measure_tap, &o->packets);
        }
        writer_state* raw = o->writer.get();
        block_queue* q = &o->queue;
        if (worker_start(&o->encoding, [raw, q] { return encode_from_queue(raw, q); }) != 0)
            return -1;
        o->threaded = true;
    }
    clear_err();  // an after-measure that did not start is no failure
    *out = std::move(o);
    return 0;
}

namespace {

int take_block(output_stream* o, const int16_t* pcm, int64_t frames, bool wait) {
    if (!o->threaded) {
        if (writer_push(o->writer.get(), pcm, frames) != 0) return -1;
        if (o->measuring && !measure_stream_push(&o->measure, pcm, frames, o->channels))
            o->measuring = false;
        o->frames += frames;
        return 0;
    }
    block_ptr b = make_block(pcm, frames, o->channels);
    if (!wait && !queue_try_push(&o->queue, b)) return 1;
    if (wait && !queue_push(&o->queue, b)) {
        // The encoder's own message says why.
        if (worker_join(&o->encoding) == 0) set_err("encoder stopped");
        return -1;
    }
    if (o->measuring && !measure_stream_push(&o->measure, b)) o->measuring = false;
    o->frames += frames;
    return 0;
}

}  // namespace

int output_push(output_stream* o, const int16_t* pcm, int64_t frames) {
    o->offering = false;
    for (int64_t at = 0; at < frames; at += GRAPH_CHUNK) {
        int64_t n = frames - at < GRAPH_CHUNK ? frames - at : GRAPH_CHUNK;
        if (take_block(o, pcm + at * o->channels, n, true) != 0) return -1;
    }
    return 0;
}

int output_offer(void* ctx, const int16_t* pcm, int64_t frames) {
    output_stream* o = static_cast<output_stream*>(ctx);
    // Once one block waits, none after it may go ahead of it.
    if (o->offering && take_block(o, pcm, frames, false) != 0) o->offering = false;
    return 0;
}

int64_t output_frames(const output_stream* o) { return o->frames; }

namespace {

int output_end(output_stream* o, loudness_stats* after, bool* streamed) {
    *streamed = false;
    o->offering = false;
    if (o->threaded) {
        queue_close(&o->queue);
        if (worker_join(&o->encoding) != 0) return -1;
    }
    if (writer_close(o->writer.get()) != 0) return -1;
    const char* path = o->path.c_str();
    if (o->measuring && measure_stream_finish(&o->measure, after) == 0 &&
        count_file_frames(path) == o->frames)
        *streamed = true;
    if (o->packets_measured) {
        *streamed = packet_measure_finish(&o->packets, path, after);
        if (debug_on())
            std::fprintf(stderr, "[AE] after-measure: %s\n",
                         *streamed ? "the encoder's packets, as the file decodes"
                                   : "the packets differ from the file: the file");
    }
    return 0;
}

}  // namespace

int output_finish(output_stream* o, loudness_stats* after, bool* measured) {
    bool streamed = false;
    if (output_end(o, after, &streamed) != 0) return -1;
    *measured = (streamed || measure_file(o->path.c_str(), o->cfg, after)) &&
                !(after->integrated < -900.0);
    return 0;
}

int write_measured(const output_audio& a, const char* out_path, const settings& cfg,
                   loudness_stats* after, bool* measured) {
    output_stream_ptr o;
    if (output_begin(&o, a, out_path, cfg) != 0 || output_push(o.get(), a.pcm, a.frames) != 0)
        return -1;
    return output_finish(o.get(), after, measured);
}
