#include "engine/graph_stages.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

extern "C" {
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include "base/error.h"

void graph_stage_deleter::operator()(graph_stage* s) const {
    queue_cancel(&s->in);
    if (s->w.thread.joinable()) s->w.thread.join();
    delete s;
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

// Filter texts joined into one chain, the empty ones left out.
static std::string chain_of(const std::string& a, const std::string& b,
                            const std::string& c = "") {
    std::string out = a;
    for (const std::string* piece : {&b, &c})
        if (!piece->empty()) out += (out.empty() ? "" : ",") + *piece;
    return out;
}

// Builds the staged form of p: this graph runs the head and converts to the
// format the pivot is given in the one graph, the next stage runs the
// middle and keeps its output format, the last the tail. The formats come
// from the one graph, configured once and freed. Returns 1 when staged, 0
// when the chain should run as one graph (that graph then reports any fault
// of the chain), -1 on failure.
static int build_stages(graph_context* g, const chain_parts& p, const char* src_args) {
    std::string whole = chain_of(p.head, p.middle, p.tail);
    std::string in_filter, in_source, out_filter, out_source;
    {
        graph_context one;
        if (graph_build(&one, whole.c_str(), src_args) != 0) return 0;
        AVFilterContext* pivot = nullptr;
        AVFilterGraph* graph = one.graph.get();
        for (unsigned i = 0; i < graph->nb_filters; i++)
            if (!std::strcmp(graph->filters[i]->filter->name, p.pivot)) pivot = graph->filters[i];
        if (!pivot || pivot->nb_inputs != 1 || pivot->nb_outputs != 1) return 0;
        link_format(pivot->inputs[0], &in_filter, &in_source);
        link_format(pivot->outputs[0], &out_filter, &out_source);
    }
    std::string head = chain_of(p.head, in_filter);
    std::string middle = chain_of(p.middle, out_filter);
    if (graph_build(g, head.c_str(), src_args) != 0) return -1;
    g->next.reset(new graph_stage);
    if (graph_build(&g->next->g, middle.c_str(), in_source.c_str()) != 0) return -1;
    if (!p.tail.empty()) {
        graph_context* mid = &g->next->g;
        mid->next.reset(new graph_stage);
        if (graph_build(&mid->next->g, p.tail.c_str(), out_source.c_str()) != 0) return -1;
    }
    for (graph_stage* s = g->next.get(); s; s = s->g.next.get()) {
        s->g.sample_rate = s->g.src->outputs[0]->sample_rate;
        s->g.channels = s->g.src->outputs[0]->ch_layout.nb_channels;
        s->in.capacity = 8;
    }
    return 1;
}

graph_context* last_stage(graph_context* g) {
    while (g->next) g = &g->next->g;
    return g;
}

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
int start_stages(graph_context* g) {
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
int join_stages(graph_context* g) {
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
int fail_stages(graph_context* g) {
    if (!g->next || !g->started) return -1;
    std::string own = g_err;
    queue_cancel(&g->next->in);
    if (join_stages(g) != 0 && g->stopped) return -1;
    set_err("%s", own.c_str());
    return -1;
}

int graph_setup_parts(graph_context* g, const chain_parts& p, int sample_rate, int channels,
                      const settings& cfg) {
    char args[300];
    source_args(g, sample_rate, channels, args, sizeof args);
    if (threads_enabled(cfg)) {
        int staged = build_stages(g, p, args);
        if (staged < 0) graph_release(g);
        if (staged != 0) return staged < 0 ? -1 : 0;
        g->next.reset();
    }
    return graph_build(g, chain_of(p.head, p.middle, p.tail).c_str(), args);
}
