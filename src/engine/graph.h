// Running a PCM buffer through an FFmpeg filter chain.
#pragma once
#include "engine/pcm.h"

// One configured graph with a single source ("src") and sink ("snk").
struct graph_context {
    filter_graph_ptr graph;
    AVFilterContext* src = nullptr;
    AVFilterContext* sink = nullptr;
    frame_ptr frame;
    int sample_rate = 0;
    int channels = 0;
};

// Builds a graph around chain (one free input, one free output) fed with
// 16-bit interleaved samples at sample_rate with channels channels.
int graph_setup(graph_context* g, const char* chain, int sample_rate, int channels);

// Pushes frames of pcm through the graph in 4096-frame chunks and collects
// the output as a new buffer. With out == nullptr the output is counted but
// not kept (analysis passes). A graph runs once.
int graph_run(graph_context* g, const int16_t* pcm, int64_t frames, pcm_ptr* out,
              int64_t* out_frames);

// Frees the work frame, then the graph; the context is left zeroed.
void graph_release(graph_context* g);

// graph_setup + graph_run + graph_release in one step.
int run_chain(const char* chain, const int16_t* pcm, int64_t frames, int sample_rate,
              int channels, pcm_ptr* out, int64_t* out_frames);
