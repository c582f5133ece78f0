// Running 16-bit PCM through an FFmpeg filter chain.
#pragma once
#include <string>

#include "base/settings.h"
#include "engine/pcm.h"


// Input goes in as frames of this many sample frames whatever the size of
// the blocks handed to graph_push, so a chain sees the same frames however
// its input arrives, and gives the same output.
constexpr int64_t GRAPH_CHUNK = 4096;

struct graph_stage;
struct graph_stage_deleter {
    void operator()(graph_stage* s) const;  // stops and joins it, then frees it
};

// One configured graph with a single source ("src") and sink ("snk").
struct graph_context {
    filter_graph_ptr graph;
    AVFilterContext* src = nullptr;
    AVFilterContext* sink = nullptr;
    frame_ptr frame;
    int sample_rate = 0;
    int channels = 0;
    // Frames the chain delays its output by: graph_finish pushes as many
    // frames of silence and the first `delay` output frames are dropped.
    int64_t delay = 0;
    int64_t dropped = 0;  // output frames dropped so far against the delay
    // Where converted output goes; without one the output is only counted.
    pcm_sink_fn sink_fn = nullptr;
    void* sink_ctx = nullptr;
    // Sees the metadata of every output frame that carries any: the figures
    // a meter (ebur128=metadata=1) attaches as it goes.
    void (*meta_fn)(void* ctx, const AVDictionary* meta) = nullptr;
    void* meta_ctx = nullptr;
    int64_t in_frames = 0;   // pushed so far
    int64_t out_frames = 0;  // delivered (or counted) so far, after the delay
    heap_ptr<int16_t> staging;  // the chunk being filled
    int64_t staged = 0;
    heap_ptr<int16_t> scratch;  // converted output frame
    int64_t scratch_cap = 0;
    bool debug = false;  // AE_DEBUG: each input frame is described on stderr
    // With threads a cut chain (chain_parts) runs as up to three graphs,
    // each on its own thread: the head with the conversion to the pivot's
    // input format (this graph), the middle, and the tail. The output is the
    // same as the one graph's, sample for sample.
    std::unique_ptr<graph_stage, graph_stage_deleter> next;
    bool started = false;  // the later stages' threads run
    bool stopped = false;  // the next stage gave up
};

// Builds a graph around chain (one free input, one free output) fed with
// 16-bit interleaved samples at sample_rate with channels channels.
int graph_setup(graph_context* g, const char* chain, int sample_rate, int channels);

// A chain cut in three around one slow filter (the pivot, by its filter
// name, in middle), so that with threads what stands before and after it
// runs beside it. The formats between the parts are those the pivot gets
// and gives when the chain runs as one graph, which it does when cfg keeps
// the call on one thread.
struct chain_parts {
    std::string head, middle, tail;
    const char* pivot = "";
};
int graph_setup_parts(graph_context* g, const chain_parts& parts, int sample_rate,
                      int channels, const settings& cfg);

// Feeds frames of pcm and hands what the graph has ready to the sink.
int graph_push(graph_context* g, const int16_t* pcm, int64_t frames);

// Pushes what is staged and the delay's silence, flushes the graph and hands
// the rest to the sink. Fails when the graph produced no output at all.
int graph_finish(graph_context* g);

// Pushes frames of pcm through the graph and collects the output as a new
// buffer. With out == nullptr the output is counted but not kept (analysis
// passes). A graph runs once.
int graph_run(graph_context* g, const int16_t* pcm, int64_t frames, pcm_ptr* out,
              int64_t* out_frames);

// Frees the work frame, then the graph; the context is left zeroed.
void graph_release(graph_context* g);

// graph_setup + graph_run + graph_release in one step.
int run_chain(const char* chain, const int16_t* pcm, int64_t frames, int sample_rate,
              int channels, pcm_ptr* out, int64_t* out_frames);

// Runs frames of in through chain, delay-compensated by delay frames (see
// graph_context), into *out. With discard, in's pages go back to the system
// as they are pushed, so that input and output never both stay whole in
// memory; in is then never read again, by anyone.
int run_chain_collect(const char* chain, int64_t delay, int16_t* in, int64_t frames,
                      int sample_rate, int channels, bool discard, pcm_ptr* out,
                      int64_t* out_frames);
// The same over a graph already set up; g is released.
int graph_collect(graph_context* g, int64_t delay, int16_t* in, int64_t frames, bool discard,
                  pcm_ptr* out, int64_t* out_frames);
