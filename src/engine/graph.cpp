#include "engine/graph.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include "api/error.h"

static bool g_first_out_logged = false;

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

int graph_setup(graph_context* g, const char* chain, int sample_rate, int channels) {
    *g = graph_context{};
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
        set_err("filtergraph parse failed: %s", chain);
        return -1;
    }
    if (!inputs || inputs->next || !outputs || outputs->next) {
        set_err("filtergraph must have exactly one input and one output: %s", chain);
        return -1;
    }

    char layout[64];
    layout_word(channels, layout, sizeof layout);
    char args[300];
    const char* src_name = "abuffersrc";
    const AVFilter* src_filter = avfilter_get_by_name(src_name);
    if (src_filter) {
        std::snprintf(args, sizeof args, "sample_rate=%d:channel_layout=%s:sample_fmts=s16",
                      sample_rate, layout);
    } else {
        src_name = "abuffer";
        src_filter = avfilter_get_by_name(src_name);
        std::snprintf(args, sizeof args,
                      "sample_rate=%d:channel_layout=%s:sample_fmt=s16:time_base=1/%d",
                      sample_rate, layout, sample_rate);
    }
    AVFilterContext* src = nullptr;
    if (!src_filter ||
        avfilter_graph_create_filter(&src, src_filter, "src", args, nullptr, graph.get()) < 0) {
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
        set_err("filtergraph config failed: %s", chain);
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
    g->sample_rate = sample_rate;
    g->channels = channels;
    return 0;
}

// Converts one output frame and appends it to the output buffer.
static int copy_out_frame(int fallback_channels, const AVFrame* f, pcm_ptr& pcm,
                          int64_t* capacity, int64_t* frames) {
    int n = f->ch_layout.nb_channels;
    int channels = (n >= 1 && n <= 8) ? n : fallback_channels;
    if (pcm_reserve(pcm, capacity, *frames + f->nb_samples, channels, nullptr) != 0) {
        set_err("oom");
        return -1;
    }
    if (frame_to_s16(f, channels, pcm.get() + *frames * channels) != 0) {
        set_err("unsupported filter output format %d", f->format);
        return -1;
    }
    if (!g_first_out_logged && std::getenv("AE_DEBUG2")) {
        g_first_out_logged = true;
        std::fprintf(stderr, "[AE] first out fmt=%d och=%d nf=%lld sr=%d\n", f->format, channels,
                     static_cast<long long>(f->nb_samples), f->sample_rate);
    }
    *frames += f->nb_samples;
    return 0;
}

// Takes every frame the sink has ready. Anything but a frame ends the drain.
static int drain_sink(graph_context* g, pcm_ptr* out, pcm_ptr& pcm, int64_t* capacity,
                      int64_t* frames) {
    while (av_buffersink_get_frame(g->sink, g->frame.get()) == 0) {
        int rc = 0;
        if (out)
            rc = copy_out_frame(g->channels, g->frame.get(), pcm, capacity, frames);
        else
            *frames += g->frame->nb_samples;
        av_frame_unref(g->frame.get());
        if (rc != 0) return -1;
    }
    return 0;
}

int graph_run(graph_context* g, const int16_t* in, int64_t in_frames, pcm_ptr* out,
              int64_t* out_frames) {
    const int64_t chunk = 4096;
    const bool debug = debug_on();
    pcm_ptr pcm;
    int64_t capacity = 0, frames = 0;
    char text[64];

    for (int64_t offset = 0; offset < in_frames; offset += chunk) {
        int64_t n = in_frames - offset < chunk ? in_frames - offset : chunk;
        AVFrame* f = g->frame.get();
        av_frame_unref(f);
        f->nb_samples = static_cast<int>(n);
        f->format = AV_SAMPLE_FMT_S16;
        f->sample_rate = g->sample_rate;
        av_channel_layout_default(&f->ch_layout, g->channels);
        f->pts = offset;
        int rc = av_frame_get_buffer(f, 0);
        if (rc < 0) {
            av_strerror(rc, text, sizeof text);
            set_err("frame alloc: %s", text);
            return -1;
        }
        std::memcpy(f->data[0], in + offset * g->channels,
                    static_cast<size_t>(n) * g->channels * sizeof(int16_t));
        if (debug)
            std::fprintf(stderr, "[AE] add frame fmt=%d sr=%d ch=%lld nf=%lld\n", f->format,
                         f->sample_rate, static_cast<long long>(g->channels),
                         static_cast<long long>(n));
        rc = av_buffersrc_add_frame(g->src, f);
        if (rc < 0) {
            av_strerror(rc, text, sizeof text);
            set_err("buffersrc add: %s", text);
            return -1;
        }
        if (drain_sink(g, out, pcm, &capacity, &frames) != 0) return -1;
    }
    int rc = av_buffersrc_add_frame(g->src, nullptr);
    if (rc < 0) {
        av_strerror(rc, text, sizeof text);
        set_err("buffersrc flush: %s", text);
        return -1;
    }
    if (drain_sink(g, out, pcm, &capacity, &frames) != 0) return -1;
    if (frames <= 0) {
        set_err("filtergraph produced no output");
        return -1;
    }
    if (out) *out = std::move(pcm);
    *out_frames = frames;
    return 0;
}

void graph_release(graph_context* g) {
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
