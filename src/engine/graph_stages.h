// The graph runner's inside, shared by its two files: a cut chain's later
// parts run as graphs of their own, each fed on its own thread with the
// frames the stage before it gives out.
#pragma once
#include <cstddef>

#include "engine/graph.h"
#include "engine/pipe.h"

struct graph_stage {
    graph_context g;
    bounded_queue<frame_ptr> in;
    worker w;
};

// Resets g for a source of sample_rate and channels, and writes the
// source's "abuffer" arguments.
void source_args(graph_context* g, int sample_rate, int channels, char* args, size_t size);

// Parses chain between a source made from src_args and a sink taking any
// format, and configures the graph. Messages name the chain as shown (the
// caller's text), chain when null.
int graph_build(graph_context* g, const char* chain, const char* src_args,
                const char* shown = nullptr);

// Takes every frame the sink has ready: on to the next stage, or converted
// for the caller's sink past the delay.
int drain_sink(graph_context* g);

graph_context* last_stage(graph_context* g);
// Hands the caller's delay and sinks to the last stage and starts the
// stages' threads (once, before the first frame goes in).
int start_stages(graph_context* g);
// Joins every stage; on failure the first message that is not a stop.
int join_stages(graph_context* g);
// After this graph failed: stops the stages and keeps the message that
// says why.
int fail_stages(graph_context* g);
