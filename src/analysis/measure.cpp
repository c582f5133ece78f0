#include "analysis/measure.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/log_capture.h"
#include "base/error.h"

extern "C" {
#include <libavutil/dict.h>
}

// framelog=verbose keeps ebur128's ten lines a second out of the capture,
// so an hour-long recording measures like a short one.
const char* const MEASURE_CHAIN = "ebur128=peak=true:framelog=verbose,astats=metadata=0";
const char* const MEASURE_LOUDNESS_CHAIN = "ebur128=peak=true:framelog=verbose";
const char* const MEASURE_STATS_CHAIN = "aformat=sample_fmts=dbl,astats=metadata=0";
const char* const MEASURE_LEVEL_CHAIN = "ebur128=peak=true:framelog=verbose:metadata=1";
// measure_through's meter: the true peak costs more than the rest of it.
static const char* const MEASURE_GAIN_CHAIN = "ebur128=framelog=verbose:metadata=1";

// The meter's running figures: those of the last frame are the whole
// signal's.
static void read_meta(void* ctx, const AVDictionary* meta) {
    meter_meta* m = static_cast<meter_meta*>(ctx);
    if (const AVDictionaryEntry* e = av_dict_get(meta, "lavfi.r128.I", nullptr, 0))
        m->integrated = std::strtod(e->value, nullptr);
    if (const AVDictionaryEntry* e = av_dict_get(meta, "lavfi.r128.LRA", nullptr, 0))
        m->lra = std::strtod(e->value, nullptr);
}

// The fine figures, where the meter gave finite ones.
static void add_fine(const meter_meta& m, loudness_stats* out) {
    if (std::isfinite(m.integrated)) out->integrated_fine = m.integrated;
    if (std::isfinite(m.lra)) out->lra_fine = m.lra;
}

// Last occurrence of needle in text, searching again `step` past each hit
// (never past the end of the text).
static const char* find_last(const char* text, const char* needle, size_t step) {
    const char* last = nullptr;
    for (const char* p = std::strstr(text, needle); p; p = std::strstr(p + strnlen(p, step), needle))
        last = p;
    return last;
}

int parse_measurement(const char* text, loudness_stats* out) {
    *out = loudness_stats{};
    const char* summary = find_last(text, "Summary:", 1);
    if (summary) {
        const char* integrated = std::strstr(summary, "Integrated loudness");
        const char* range = std::strstr(summary, "Loudness range");
        const char* peak = std::strstr(summary, "True peak");
        parse_label(integrated, "I:", &out->integrated);
        parse_label(integrated, "Threshold:", &out->threshold);
        parse_label(range, "LRA:", &out->lra);
        parse_label(peak, "Peak:", &out->true_peak);

        const char* floor = find_last(text, "Noise floor dB", 16);
        if (floor) {
            // Past the label, its colon and a blank, but never past the text.
            size_t rest = std::strlen(floor);
            const char* p = floor + (rest < 16 ? rest : 16);
            while (*p == ' ' || *p == '\t') p++;
            out->noise_floor = std::strtod(p, nullptr);
        }
        if (!(out->integrated < -900.0)) return 0;
        if (debug_on()) std::fprintf(stderr, "[AE] no I: in log (first 400): %.*s\n", 400, text);
    }
    if (debug_on()) std::fprintf(stderr, "[AE] parse failed\n");
    return -1;
}

// Runs one measuring chain over a buffer under this thread's capture and
// keeps the text.
static int capture_to(const char* chain, const int16_t* pcm, int64_t frames, int rate,
                      int channels, std::string* text, meter_meta* meta = nullptr) {
    int rc = capture_chain(chain, pcm, frames, rate, channels, meta ? read_meta : nullptr, meta);
    if (rc == CAPTURE_RUN_FAILED && debug_on())
        std::fprintf(stderr, "[AE] graph_run: %s\n", g_err);
    if (rc != 0) return -1;
    text->assign(log_capture_text(), log_capture_size());
    return 0;
}

// The ebur128 text, then the astats text: the parser reads the summary and
// the noise floor wherever they are.
static int parse_texts(const std::string* texts, loudness_stats* out) {
    std::string all = texts[0] + texts[1];
    log_capture_store(all.data(), all.size());
    if (debug_on()) {
        write_log_file("ae_debug_log.txt");
        std::fprintf(stderr, "[AE] logpos=%zu\n", log_capture_size());
    }
    return parse_measurement(log_capture_text(), out);
}

int measure_pcm(const int16_t* pcm, int64_t frames, int sample_rate, int channels,
                const settings& cfg, loudness_stats* out, measure_kind kind) {
    std::string texts[2];
    if (kind == measure_kind::level) {
        meter_meta meta;
        if (capture_to(MEASURE_LEVEL_CHAIN, pcm, frames, sample_rate, channels, &texts[0],
                       &meta) != 0 ||
            parse_texts(texts, out) != 0)
            return -1;
        add_fine(meta, out);
        return 0;
    }
    // The two meters as two graphs: side by side with threads, else one
    // after the other; astats gets the same double samples either way.
    if (run_beside(
            cfg,
            [&] {
                return capture_to(MEASURE_STATS_CHAIN, pcm, frames, sample_rate, channels,
                                  &texts[1]);
            },
            [&] {
                return capture_to(MEASURE_LOUDNESS_CHAIN, pcm, frames, sample_rate, channels,
                                  &texts[0]);
            }) != 0)
        return -1;
    return parse_texts(texts, out);
}

namespace {
struct through_tap {
    measure_stream* stream;
    int channels;
    pcm_sink_fn also;
    void* also_ctx;
    // In place: where the output goes, how far it may go, and the graph
    // whose input count it must stay behind.
    int16_t* back = nullptr;
    int64_t room = 0;
    int64_t at = 0;
    const graph_context* graph = nullptr;
};

int tap_measure(void* ctx, const int16_t* pcm, int64_t frames) {
    through_tap* t = static_cast<through_tap*>(ctx);
    if (t->back) {
        // Never over input the chain has yet to read.
        if (t->at + frames > t->graph->in_frames) {
            set_err("filter chain ran ahead of its input");
            return -1;
        }
        if (t->at + frames > t->room) frames = t->room - t->at;  // the flush's tail
        std::memcpy(t->back + t->at * t->channels, pcm,
                    static_cast<size_t>(frames) * t->channels * sizeof(int16_t));
        t->at += frames;
    }
    if (frames > 0 && !measure_stream_push(t->stream, pcm, frames, t->channels)) {
        set_err("measurement failed");
        return -1;
    }
    return t->also && frames > 0 ? t->also(t->also_ctx, pcm, frames) : 0;
}

// The meter takes the chain's output as it comes, beside it with threads.
int meter_output(const char* chain, int64_t delay, const int16_t* pcm, int64_t frames,
                 int rate, int channels, const settings& cfg, through_tap* tap,
                 loudness_stats* out) {
    measure_stream m;
    if (measure_stream_start(&m, rate, channels, cfg, measure_kind::loudness) != 0) return -1;
    tap->stream = &m;
    tap->channels = channels;
    graph_context g;
    if (graph_setup(&g, chain, rate, channels) != 0) return -1;
    tap->graph = &g;
    g.delay = delay;
    g.sink_fn = tap_measure;
    g.sink_ctx = tap;
    int rc = graph_push(&g, pcm, frames);
    if (rc == 0) rc = graph_finish(&g);
    graph_release(&g);
    return rc == 0 ? measure_stream_finish(&m, out) : -1;
}
}  // namespace

int measure_through(const char* chain, int64_t delay, const int16_t* pcm, int64_t frames,
                    int sample_rate, int channels, const settings& cfg, loudness_stats* out) {
    through_tap tap{};
    return meter_output(chain, delay, pcm, frames, sample_rate, channels, cfg, &tap, out);
}

int measure_in_place(const char* chain, int64_t delay, int16_t* pcm, int64_t* frames,
                     int sample_rate, int channels, const settings& cfg, loudness_stats* out,
                     pcm_sink_fn also, void* also_ctx) {
    through_tap tap{};
    tap.also = also;
    tap.also_ctx = also_ctx;
    tap.back = pcm;
    tap.room = *frames;
    if (meter_output(chain, delay, pcm, *frames, sample_rate, channels, cfg, &tap, out) != 0)
        return -1;
    *frames = tap.at;
    return 0;
}

// ---------------------------------------------------------------- streams

// Drives one measuring graph from a queue under this thread's capture.
static int run_from_queue(const char* chain, block_queue* q, int rate, int channels,
                          std::string* text, meter_meta* meta) {
    cancel_at_exit<block_ptr> stop_producer{q};
    graph_context g;
    int rc = 0;
    block_ptr b;
    try {
        log_capture_begin();
        rc = graph_setup(&g, chain, rate, channels);
        if (meta) {
            g.meta_fn = read_meta;
            g.meta_ctx = meta;
        }
        while (rc == 0 && queue_pop(q, &b)) rc = graph_push(&g, b->samples.data(), b->frames);
    } catch (...) {
        log_capture_end();
        throw;
    }
    if (rc == 0 && queue_cancelled(q)) {
        set_err("measurement cancelled");
        rc = -1;
    }
    if (rc == 0) rc = graph_finish(&g);
    // The reports come while the graph is freed.
    graph_release(&g);
    log_capture_end();
    if (rc != 0) return -1;
    text->assign(log_capture_text(), log_capture_size());
    return 0;
}

measure_stream::~measure_stream() {
    for (block_queue& q : queues) queue_cancel(&q);
    for (worker& w : workers)
        if (w.thread.joinable()) w.thread.join();
    if (here) {
        graph_release(&graph);
        log_capture_end();
    }
}

int measure_stream_start(measure_stream* m, int sample_rate, int channels, const settings& cfg,
                         measure_kind kind) {
    m->kind = kind;
    // Loudness alone, or with the true peak: one meter, with its metadata.
    const bool one = kind != measure_kind::full;
    const char* meter = kind == measure_kind::level ? MEASURE_LEVEL_CHAIN : MEASURE_GAIN_CHAIN;
    if (!threads_enabled(cfg)) {
        log_capture_begin();
        m->here = true;
        if (graph_setup(&m->graph, one ? meter : MEASURE_CHAIN, sample_rate, channels) != 0)
            return -1;
        if (one) {
            m->graph.meta_fn = read_meta;
            m->graph.meta_ctx = &m->meta;
        }
        return 0;
    }
    const char* chains[2] = {one ? meter : MEASURE_LOUDNESS_CHAIN, MEASURE_STATS_CHAIN};
    for (int i = 0; i < (one ? 1 : 2); i++) {
        block_queue* q = &m->queues[i];
        std::string* text = &m->texts[i];
        const char* chain = chains[i];
        meter_meta* meta = one ? &m->meta : nullptr;
        if (worker_start(&m->workers[i], [=] {
                return run_from_queue(chain, q, sample_rate, channels, text, meta);
            }) != 0)
            return -1;
        m->started++;
    }
    return 0;
}

bool measure_stream_push(measure_stream* m, const block_ptr& block) {
    if (m->here) return graph_push(&m->graph, block->samples.data(), block->frames) == 0;
    for (int i = 0; i < m->started; i++)
        if (!queue_push(&m->queues[i], block)) return false;
    return true;
}

bool measure_stream_push(measure_stream* m, const int16_t* pcm, int64_t frames, int channels) {
    if (m->here) return graph_push(&m->graph, pcm, frames) == 0;
    return measure_stream_push(m, make_block(pcm, frames, channels));
}

int measure_stream_finish(measure_stream* m, loudness_stats* out) {
    int rc = 0;
    if (m->here) {
        rc = graph_finish(&m->graph);
        // The reports come while the graph is freed.
        graph_release(&m->graph);
        log_capture_end();
        m->here = false;
        if (rc == 0) m->texts[0].assign(log_capture_text(), log_capture_size());
    } else {
        for (block_queue& q : m->queues) queue_close(&q);
        for (int i = 0; i < m->started; i++)
            if (worker_join(&m->workers[i]) != 0) rc = -1;
        m->started = 0;
    }
    if (rc != 0 || parse_texts(m->texts, out) != 0) return -1;
    if (m->kind != measure_kind::full) add_fine(m->meta, out);
    return 0;
}

// ---------------------------------------------------------------- decoding

namespace {
struct decoded_feed {
    measure_stream* stream = nullptr;
    int channels = 0;
    bool failed = false;  // the measurement, not the decoding
};

int feed_measure(void* ctx, const int16_t* pcm, int64_t frames) {
    decoded_feed* f = static_cast<decoded_feed*>(ctx);
    if (measure_stream_push(f->stream, pcm, frames, f->channels)) return 0;
    f->failed = true;
    set_err("measurement failed");
    return -1;
}
}  // namespace

int measure_decoded(decoder_state* dec, const settings& cfg, loudness_stats* out,
                    measure_kind kind) {
    measure_stream m;
    if (measure_stream_start(&m, dec->sample_rate, dec->channels, cfg, kind) != 0)
        return MEASURE_FAILED;
    decoded_feed f;
    f.stream = &m;
    f.channels = dec->channels;
    int64_t frames = 0;
    // On failure the stream's meters are cancelled as it goes.
    if (decode_each(dec, feed_measure, &f, &frames) != 0) return f.failed ? MEASURE_FAILED : -1;
    return measure_stream_finish(&m, out) == 0 ? 0 : MEASURE_FAILED;
}
