#include "engine/graph_stages.h"

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

// Parses chain between a source made from src_args (an "abuffer" of the
// given arguments) and a sink taking any format, and configures the graph.
// Messages name the chain as shown (the caller's text), chain when null.
int graph_build(graph_context* g, const char* chain, const char* src_args, const char* shown) {
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

void source_args(graph_context* g, int sample_rate, int channels, char* args, size_t size) {
    *g = graph_context{};
    char layout[64];
    layout_word(channels, layout, sizeof layout);
    std::snprintf(args, size, "sample_rate=%d:channel_layout=%s:sample_fmt=s16:time_base=1/%d",
                  sample_rate, layout, sample_rate);
    g->sample_rate = sample_rate;
    g->channels = channels;
}

int graph_setup(graph_context* g, const char* chain, int sample_rate, int channels) {
    char args[300];
    source_args(g, sample_rate, channels, args, sizeof args);
    return graph_build(g, chain, args);
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
    if (!g_first_out_logged.load(std::memory_order_relaxed) && process_settings().debug_frames &&
        !g_first_out_logged.exchange(true))
        std::fprintf(stderr, "[AE] first out fmt=%d och=%d nf=%lld sr=%d\n", f->format, channels,
                     static_cast<long long>(n), f->sample_rate);
    g->out_frames += n;
    return g->sink_fn(g->sink_ctx, g->scratch.get(), n);
}

// Takes every frame the sink has ready. Anything but a frame ends the drain.
// The first `delay` frames of output are dropped here.
int drain_sink(graph_context* g) {
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
    return graph_collect(&g, delay, in, frames, discard, out, out_frames);
}

int graph_collect(graph_context* g, int64_t delay, int16_t* in, int64_t frames, bool discard,
                  pcm_ptr* out, int64_t* out_frames) {
    const int channels = g->channels;
    pcm_collector c;
    c.channels = channels;
    // Output frame n is input frame n: one block of the input's size.
    if (frames > 0 && pcm_grow_to(c.pcm, &c.capacity, frames, channels, nullptr) != 0) {
        graph_release(g);
        set_err("oom");
        return -1;
    }
    g->delay = delay;
    g->sink_fn = pcm_collect;
    g->sink_ctx = &c;
    const int64_t slice = GRAPH_CHUNK * 16;
    const size_t frame_bytes = static_cast<size_t>(channels) * sizeof(int16_t);
    int rc = 0;
    for (int64_t at = 0; rc == 0 && at < frames; at += slice) {
        int64_t n = frames - at < slice ? frames - at : slice;
        int16_t* part = in + at * channels;
        rc = graph_push(g, part, n);
        // The graph copies what it is given: this part is never read again.
        if (rc == 0 && discard) fs_discard_pages(part, static_cast<size_t>(n) * frame_bytes);
    }
    if (rc == 0) rc = graph_finish(g);
    graph_release(g);
    if (rc != 0) return -1;
    *out = std::move(c.pcm);
    *out_frames = c.frames;
    return 0;
}
