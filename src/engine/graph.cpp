#include "engine/graph.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include "base/error.h"
#include "engine/pipe.h"
#include "platform/fs.h"

// The first converted output frame is described once per process under
// AE_DEBUG2.
static std::atomic<bool> g_first_out_logged{false};

// Channel-layout word for the source: FFmpeg's default layout for the count.
static void layout_word(int channels, char* buf, size_t size) {
    if (channels == 1) {
        std::snprintf(buf, size, "mono");
        return;
    }
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels > 2 ? channels : 2);
    if (av_channel_layout_describe(&layout, buf, size) < 0) std::snprintf(buf, size, "stereo");
    av_channel_layout_uninit(&layout);
}

// A stage after the first: its own graph, fed on its own thread with the
// frames the stage before it gives out.
struct graph_stage {
    graph_context g;
    bounded_queue<frame_ptr> in;
    worker w;
};

void graph_stage_deleter::operator()(graph_stage* s) const {
    queue_cancel(&s->in);
    if (s->w.thread.joinable()) s->w.thread.join();
    delete s;
}

// Parses chain between a source made from src_args (an "abuffer" of the
// given arguments) and a sink taking any format, and configures the graph.
// Messages name the chain as shown (the caller's text), chain when null.
static int graph_build(graph_context* g, const char* chain, const char* src_args,
                       const char* shown = nullptr) {
    if (!shown) shown = chain;
    filter_graph_ptr graph(avfilter_graph_alloc());
    if (!graph) {
        set_err("oom");
        return -1;
    }
    AVFilterInOut* raw_in = nullptr;
    AVFilterInOut* raw_out = nullptr;
    int rc = avfilter_graph_parse2(graph.get(), chain, &raw_in, &raw_out);
    filter_inout_ptr inputs(raw_in), outputs(raw_out);
    if (rc < 0) {
        set_err("filtergraph parse failed: %s", shown);
        return -1;
    }
    if (!inputs || inputs->next || !outputs || outputs->next) {
        set_err("filtergraph must have exactly one input and one output: %s", shown);
        return -1;
    }
    const char* src_name = "abuffer";
    const AVFilter* src_filter = avfilter_get_by_name(src_name);
    AVFilterContext* src = nullptr;
    if (!src_filter ||
        avfilter_graph_create_filter(&src, src_filter, "src", src_args, nullptr, graph.get()) <
            0) {
        set_err("cannot create %s", src_name);
        return -1;
    }
    AVFilterContext* sink = nullptr;
    if (avfilter_graph_create_filter(&sink, avfilter_get_by_name("abuffersink"), "snk", nullptr,
                                     nullptr, graph.get()) < 0) {
        set_err("cannot create abuffersink");
        return -1;
    }
    if (avfilter_link(src, 0, inputs->filter_ctx, inputs->pad_idx) < 0) {
        set_err("link source failed");
        return -1;
    }
    if (avfilter_link(outputs->filter_ctx, outputs->pad_idx, sink, 0) < 0) {
        set_err("link sink failed");
        return -1;
    }
    inputs.reset();
    outputs.reset();
    if (avfilter_graph_config(graph.get(), nullptr) < 0) {
        set_err("filtergraph config failed: %s", shown);
        return -1;
    }
    frame_ptr frame(av_frame_alloc());
    if (!frame) {
        set_err("oom");
        return -1;
    }
    g->graph = std::move(graph);
    g->src = src;
    g->sink = sink;
    g->frame = std::move(frame);
    g->debug = debug_on();
    return 0;
}

// ---------------------------------------------------------------- stages

// Splits chain at its loudnorm filter into what comes before, loudnorm and
// what follows. Only a plain chain (no labels, no escapes) with exactly one
// loudnorm is split.
static bool split_at_loudnorm(const char* chain, std::string parts[3]) {
    if (std::strpbrk(chain, "[];\\'\""))
        return false;
    std::string text(chain), seen[3];
    int found = 0;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        std::string piece = text.substr(at, end - at);
        bool ln = piece.compare(0, 8, "loudnorm") == 0 &&
                  (piece.size() == 8 || piece[8] == '=');
        if (ln) found++;
        int which = ln ? 1 : (found ? 2 : 0);
        if (!seen[which].empty()) seen[which] += ',';
        seen[which] += piece;
        at = end + 1;
    }
    if (found != 1) return false;
    for (int i = 0; i < 3; i++) parts[i] = seen[i];
    return true;
}

// The format of one link, as aformat options and as abuffer arguments.
static void link_format(const AVFilterLink* l, std::string* as_filter, std::string* as_source) {
    char layout[128] = "";
    if (av_channel_layout_describe(&l->ch_layout, layout, sizeof layout) < 0) layout[0] = '\0';
    const char* fmt = av_get_sample_fmt_name(static_cast<AVSampleFormat>(l->format));
    char buf[400];
    std::snprintf(buf, sizeof buf, "aformat=sample_fmts=%s:sample_rates=%d:channel_layouts=%s",
                  fmt ? fmt : "", l->sample_rate, layout);
    *as_filter = buf;
    std::snprintf(buf, sizeof buf, "sample_rate=%d:sample_fmt=%s:channel_layout=%s:time_base=%d/%d",
                  l->sample_rate, fmt ? fmt : "", layout, l->time_base.num, l->time_base.den);
    *as_source = buf;
}

// The loudnorm piece without print_format: loudnorm prints its report as
// it is freed, and the graph that only shows the formats must stay quiet.
static std::string without_report(const std::string& piece) {
    size_t eq = piece.find('=');
    if (eq == std::string::npos) return piece;
    std::string out = piece.substr(0, eq + 1), options = piece.substr(eq + 1);
    bool first = true;
    for (size_t at = 0; at <= options.size();) {
        size_t end = options.find(':', at);
        if (end == std::string::npos) end = options.size();
        std::string option = options.substr(at, end - at);
        if (option.compare(0, 13, "print_format=") != 0) {
            if (!first) out += ':';
            out += option;
            first = false;
        }
        at = end + 1;
    }
    return out;
}

// Filter texts joined into one chain, the empty ones left out.
static std::string chain_of(const std::string& a, const std::string& b,
                            const std::string& c = "") {
    std::string out = a;
    for (const std::string* piece : {&b, &c})
        if (!piece->empty()) out += (out.empty() ? "" : ",") + *piece;
    return out;
}

// Builds the staged form of chain: this graph runs the filters before
// loudnorm and converts to the format loudnorm is given in the one graph,
// the next stage runs loudnorm and keeps its output format, the last the
// filters after it. The formats come from the one graph, configured once
// and freed. Returns 1 when staged, 0 when the chain should run as one
// graph (that graph then reports any fault of the chain), -1 on failure.
static int build_stages(graph_context* g, const std::string parts[3], const char* src_args) {
    std::string whole = chain_of(parts[0], without_report(parts[1]), parts[2]);
    std::string in_filter, in_source, out_filter, out_source;
    {
        graph_context one;
        if (graph_build(&one, whole.c_str(), src_args) != 0) return 0;
        AVFilterContext* ln = nullptr;
        AVFilterGraph* graph = one.graph.get();
        for (unsigned i = 0; i < graph->nb_filters; i++)
            if (!std::strcmp(graph->filters[i]->filter->name, "loudnorm")) ln = graph->filters[i];
        if (!ln || ln->nb_inputs != 1 || ln->nb_outputs != 1) return 0;
        link_format(ln->inputs[0], &in_filter, &in_source);
        link_format(ln->outputs[0], &out_filter, &out_source);
    }
    std::string head = chain_of(parts[0], in_filter);
    std::string middle = chain_of(parts[1], out_filter);
    if (graph_build(g, head.c_str(), src_args) != 0) return -1;
    g->next.reset(new graph_stage);
    if (graph_build(&g->next->g, middle.c_str(), in_source.c_str()) != 0) return -1;
    if (!parts[2].empty()) {
        graph_context* mid = &g->next->g;
        mid->next.reset(new graph_stage);
        if (graph_build(&mid->next->g, parts[2].c_str(), out_source.c_str()) != 0) return -1;
    }
    for (graph_stage* s = g->next.get(); s; s = s->g.next.get()) {
        s->g.sample_rate = s->g.src->outputs[0]->sample_rate;
        s->g.channels = s->g.src->outputs[0]->ch_layout.nb_channels;
        s->in.capacity = 8;
    }
    return 1;
}

static graph_context* last_stage(graph_context* g) {
    while (g->next) g = &g->next->g;
    return g;
}

static int drain_sink(graph_context* g);

// One later stage's thread: frames from the queue through its graph, then
// the flush. A stage that stops because its neighbour gave up answers
// STAGE_STOPPED, so the neighbour's own message is the one reported.
constexpr int STAGE_STOPPED = -2;

// Adds one frame (null flushes) to the stage's graph and drains its sink.
static int stage_feed(graph_context* g, AVFrame* f, const char* what) {
    int added = av_buffersrc_add_frame(g->src, f);
    if (added < 0) {
        char text[64];
        av_strerror(added, text, sizeof text);
        set_err("%s: %s", what, text);
        return -1;
    }
    if (drain_sink(g) != 0) return g->stopped ? STAGE_STOPPED : -1;
    return 0;
}

static int stage_frames(graph_stage* s) {
    graph_context* g = &s->g;
    frame_ptr f;
    int rc = 0;
    while (rc == 0 && queue_pop(&s->in, &f)) rc = stage_feed(g, f.get(), "buffersrc add");
    if (rc == 0 && queue_cancelled(&s->in)) {
        set_err("filter stage stopped");
        rc = STAGE_STOPPED;
    }
    return rc == 0 ? stage_feed(g, nullptr, "buffersrc flush") : rc;
}

// Whatever way the stage ends, its neighbours are told.
static int run_stage(graph_stage* s) {
    graph_context* g = &s->g;
    // Out of memory mid-frame: the neighbours must still hear of it, or they
    // would wait on the queues for ever.
    int rc = guarded([&] { return stage_frames(s); });
    if (g->next) {
        if (rc == 0)
            queue_close(&g->next->in);
        else
            queue_cancel(&g->next->in);
    }
    if (rc != 0) queue_cancel(&s->in);
    return rc;
}

// Hands the caller's delay and sink to the last stage and starts the
// stages' threads (once, before the first frame goes in).
static int start_stages(graph_context* g) {
    if (!g->next || g->started) return 0;
    g->started = true;
    graph_context* last = last_stage(g);
    last->delay = g->delay;
    last->sink_fn = g->sink_fn;
    last->sink_ctx = g->sink_ctx;
    last->meta_fn = g->meta_fn;
    last->meta_ctx = g->meta_ctx;
    for (graph_stage* s = g->next.get(); s; s = s->g.next.get())
        if (worker_start(&s->w, [s] { return run_stage(s); }) != 0) return -1;
    return 0;
}

// Joins every stage; on failure the first message that is not a stop.
static int join_stages(graph_context* g) {
    int rc = 0;
    std::string err;
    for (graph_stage* s = g->next.get(); s; s = s->g.next.get()) {
        if (s->w.thread.joinable()) s->w.thread.join();
        if (s->w.rc == 0) continue;
        rc = -1;
        if (s->w.rc != STAGE_STOPPED && err.empty()) err = s->w.err;
    }
    if (rc != 0 && !err.empty()) set_err("%s", err.c_str());
    return rc;
}

// After this graph failed: stops the stages. The message is a stage's when
// this graph only stopped because that stage gave up.
static int fail_stages(graph_context* g) {
    if (!g->next || !g->started) return -1;
    std::string own = g_err;
    queue_cancel(&g->next->in);
    if (join_stages(g) != 0 && g->stopped) return -1;
    set_err("%s", own.c_str());
    return -1;
}

int graph_setup(graph_context* g, const char* chain, int sample_rate, int channels) {
    *g = graph_context{};
    char layout[64];
    layout_word(channels, layout, sizeof layout);
    char args[300];
    std::snprintf(args, sizeof args,
                  "sample_rate=%d:channel_layout=%s:sample_fmt=s16:time_base=1/%d",
                  sample_rate, layout, sample_rate);
    g->sample_rate = sample_rate;
    g->channels = channels;
    std::string parts[3];
    if (!split_at_loudnorm(chain, parts)) return graph_build(g, chain, args);
    // loudnorm hands out its last seconds as one frame; a resampler after it
    // fed that at once would size its buffers for all of it (some 50 MB).
    // Cut into pieces it does not: the samples out of a filter do not depend
    // on how its input is cut.
    if (!parts[2].empty() && avfilter_get_by_name("asetnsamples"))
        parts[2] = "asetnsamples=n=32768:p=0," + parts[2];
    if (threads_enabled()) {
        int staged = build_stages(g, parts, args);
        if (staged < 0) graph_release(g);
        if (staged != 0) return staged < 0 ? -1 : 0;
        g->next.reset();
    }
    return graph_build(g, chain_of(parts[0], parts[1], parts[2]).c_str(), args, chain);
}

// Converts one output frame and hands it to the sink, past the delay.
static int deliver_frame(graph_context* g, const AVFrame* f) {
    int64_t n = f->nb_samples;
    if (!g->sink_fn) {
        g->out_frames += n;
        return 0;
    }
    int count = f->ch_layout.nb_channels;
    int channels = (count >= 1 && count <= 8) ? count : g->channels;
    if (n > g->scratch_cap &&
        pcm_grow_to(g->scratch, &g->scratch_cap, n, channels, nullptr) != 0) {
        set_err("oom");
        return -1;
    }
    if (frame_to_s16(f, channels, g->scratch.get()) != 0) {
        set_err("unsupported filter output format %d", f->format);
        return -1;
    }
    if (!g_first_out_logged.load(std::memory_order_relaxed) && std::getenv("AE_DEBUG2") &&
        !g_first_out_logged.exchange(true))
        std::fprintf(stderr, "[AE] first out fmt=%d och=%d nf=%lld sr=%d\n", f->format, channels,
                     static_cast<long long>(n), f->sample_rate);
    g->out_frames += n;
    return g->sink_fn(g->sink_ctx, g->scratch.get(), n);
}

// Takes every frame the sink has ready. Anything but a frame ends the drain.
// The first `delay` frames of output are dropped here.
static int drain_sink(graph_context* g) {
    AVFrame* f = g->frame.get();
    int got;
    while ((got = av_buffersink_get_frame(g->sink, f)) == 0) {
        int rc = 0;
        if (g->next) {
            // On to the next stage's thread.
            frame_ptr moved(av_frame_alloc());
            if (!moved) {
                av_frame_unref(f);
                set_err("oom");
                return -1;
            }
            av_frame_move_ref(moved.get(), f);
            if (!queue_push(&g->next->in, std::move(moved))) {
                g->stopped = true;
                set_err("filter stage stopped");
                return -1;
            }
            continue;
        }
        if (g->meta_fn && f->metadata) g->meta_fn(g->meta_ctx, f->metadata);
        if (g->dropped < g->delay) {
            // The delay itself stays: graph_finish pushes that much silence.
            int64_t left = g->delay - g->dropped;
            int64_t drop = f->nb_samples < left ? f->nb_samples : left;
            g->dropped += drop;
            if (drop < f->nb_samples) {
                // Keep the frame's tail: shift its samples down.
                int bps = av_get_bytes_per_sample(static_cast<AVSampleFormat>(f->format));
                int planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(f->format));
                int ch = f->ch_layout.nb_channels;
                int64_t keep = f->nb_samples - drop;
                if (planar) {
                    for (int c = 0; c < ch; c++)
                        std::memmove(f->extended_data[c], f->extended_data[c] + drop * bps,
                                     static_cast<size_t>(keep * bps));
                } else {
                    std::memmove(f->data[0], f->data[0] + drop * bps * ch,
                                 static_cast<size_t>(keep * bps * ch));
                }
                f->nb_samples = static_cast<int>(keep);
                rc = deliver_frame(g, f);
            }
        } else {
            rc = deliver_frame(g, f);
        }
        av_frame_unref(f);
        if (rc != 0) return -1;
    }
    // Anything but "wants input" or "drained" (a filter out of memory) would
    // otherwise cut the audio short without a word.
    if (got != AVERROR(EAGAIN) && got != AVERROR_EOF) {
        char text[64];
        av_strerror(got, text, sizeof text);
        set_err("buffersink: %s", text);
        return -1;
    }
    return 0;
}

// Sends n staged (or silent, with pcm == nullptr) frames into the graph.
static int send_chunk(graph_context* g, const int16_t* pcm, int64_t n) {
    char text[64];
    AVFrame* f = g->frame.get();
    av_frame_unref(f);
    f->nb_samples = static_cast<int>(n);
    f->format = AV_SAMPLE_FMT_S16;
    f->sample_rate = g->sample_rate;
    av_channel_layout_default(&f->ch_layout, g->channels);
    f->pts = g->in_frames;
    int rc = av_frame_get_buffer(f, 0);
    if (rc < 0) {
        av_strerror(rc, text, sizeof text);
        set_err("frame alloc: %s", text);
        return -1;
    }
    const size_t bytes = static_cast<size_t>(n) * g->channels * sizeof(int16_t);
    if (pcm)
        std::memcpy(f->data[0], pcm, bytes);
    else
        std::memset(f->data[0], 0, bytes);
    g->in_frames += n;
    if (g->debug)
        std::fprintf(stderr, "[AE] add frame fmt=%d sr=%d ch=%lld nf=%lld\n", f->format,
                     f->sample_rate, static_cast<long long>(g->channels),
                     static_cast<long long>(n));
    rc = av_buffersrc_add_frame(g->src, f);
    if (rc < 0) {
        av_frame_unref(f);
        av_strerror(rc, text, sizeof text);
        set_err("buffersrc add: %s", text);
        return -1;
    }
    return drain_sink(g);
}

static int push_frames(graph_context* g, const int16_t* in, int64_t frames) {
    const int ch = g->channels;
    if (!g->staging) {
        g->staging.reset(static_cast<int16_t*>(
            std::malloc(static_cast<size_t>(GRAPH_CHUNK) * ch * sizeof(int16_t))));
        if (!g->staging) {
            set_err("oom");
            return -1;
        }
    }
    while (frames > 0) {
        // Whole chunks straight from the caller's block, the rest staged.
        if (g->staged == 0 && frames >= GRAPH_CHUNK) {
            if (send_chunk(g, in, GRAPH_CHUNK) != 0) return -1;
            in += GRAPH_CHUNK * ch;
            frames -= GRAPH_CHUNK;
            continue;
        }
        int64_t n = GRAPH_CHUNK - g->staged < frames ? GRAPH_CHUNK - g->staged : frames;
        std::memcpy(g->staging.get() + g->staged * ch, in, static_cast<size_t>(n) * ch * 2);
        g->staged += n;
        in += n * ch;
        frames -= n;
        if (g->staged == GRAPH_CHUNK) {
            g->staged = 0;
            if (send_chunk(g, g->staging.get(), GRAPH_CHUNK) != 0) return -1;
        }
    }
    return 0;
}

int graph_push(graph_context* g, const int16_t* in, int64_t frames) {
    if (start_stages(g) != 0 || push_frames(g, in, frames) != 0) return fail_stages(g);
    return 0;
}

static int finish_frames(graph_context* g) {
    if (g->staged > 0) {
        int64_t n = g->staged;
        g->staged = 0;
        if (send_chunk(g, g->staging.get(), n) != 0) return -1;
    }
    for (int64_t pad = g->delay; pad > 0;) {
        int64_t n = pad < GRAPH_CHUNK ? pad : GRAPH_CHUNK;
        if (send_chunk(g, nullptr, n) != 0) return -1;
        pad -= n;
    }
    char text[64];
    int rc = av_buffersrc_add_frame(g->src, nullptr);
    if (rc < 0) {
        av_strerror(rc, text, sizeof text);
        set_err("buffersrc flush: %s", text);
        return -1;
    }
    return drain_sink(g);
}

int graph_finish(graph_context* g) {
    if (start_stages(g) != 0 || finish_frames(g) != 0) return fail_stages(g);
    if (g->next) {
        queue_close(&g->next->in);
        if (join_stages(g) != 0) return -1;
        g->out_frames = last_stage(g)->out_frames;
    }
    if (g->out_frames <= 0) {
        set_err("filtergraph produced no output");
        return -1;
    }
    return 0;
}

int graph_run(graph_context* g, const int16_t* in, int64_t in_frames, pcm_ptr* out,
              int64_t* out_frames) {
    pcm_collector c;
    if (out) {
        // The output's channel count is the sink's.
        AVChannelLayout layout{};
        if (av_buffersink_get_ch_layout(last_stage(g)->sink, &layout) >= 0 &&
            layout.nb_channels >= 1 &&
            layout.nb_channels <= 8)
            c.channels = layout.nb_channels;
        else
            c.channels = g->channels;
        av_channel_layout_uninit(&layout);
        g->sink_fn = pcm_collect;
        g->sink_ctx = &c;
    }
    if (in_frames > 0 && graph_push(g, in, in_frames) != 0) return -1;
    if (graph_finish(g) != 0) return -1;
    if (out) *out = std::move(c.pcm);
    *out_frames = g->out_frames;
    return 0;
}

void graph_release(graph_context* g) {
    // Stages first: their threads still read this graph's frames.
    g->next.reset();
    g->frame.reset();
    g->graph.reset();
    *g = graph_context{};
}

int run_chain(const char* chain, const int16_t* pcm, int64_t frames, int sample_rate,
              int channels, pcm_ptr* out, int64_t* out_frames) {
    graph_context g;
    if (graph_setup(&g, chain, sample_rate, channels) != 0) return -1;
    int rc = graph_run(&g, pcm, frames, out, out_frames);
    graph_release(&g);
    return rc;
}

int run_chain_collect(const char* chain, int64_t delay, int16_t* in, int64_t frames,
                      int sample_rate, int channels, bool discard, pcm_ptr* out,
                      int64_t* out_frames) {
    graph_context g;
    if (graph_setup(&g, chain, sample_rate, channels) != 0) return -1;
    pcm_collector c;
    c.channels = channels;
    // Output frame n is input frame n: one block of the input's size.
    if (frames > 0 && pcm_grow_to(c.pcm, &c.capacity, frames, channels, nullptr) != 0) {
        graph_release(&g);
        set_err("oom");
        return -1;
    }
    g.delay = delay;
    g.sink_fn = pcm_collect;
    g.sink_ctx = &c;
    const int64_t slice = GRAPH_CHUNK * 16;
    const size_t frame_bytes = static_cast<size_t>(channels) * sizeof(int16_t);
    int rc = 0;
    for (int64_t at = 0; rc == 0 && at < frames; at += slice) {
        int64_t n = frames - at < slice ? frames - at : slice;
        int16_t* part = in + at * channels;
        rc = graph_push(&g, part, n);
        // The graph copies what it is given: this part is never read again.
        if (rc == 0 && discard) fs_discard_pages(part, static_cast<size_t>(n) * frame_bytes);
    }
    if (rc == 0) rc = graph_finish(&g);
    graph_release(&g);
    if (rc != 0) return -1;
    *out = std::move(c.pcm);
    *out_frames = c.frames;
    return 0;
}
