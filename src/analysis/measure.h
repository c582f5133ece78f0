// Loudness, true peak and noise floor of a PCM buffer or stream.
#pragma once
#include <cstdint>
#include <string>

#include "engine/decoder.h"
#include "engine/graph.h"
#include "engine/pipe.h"

// -999.0 marks a figure not found; anything at or below -900 counts as missing.
struct loudness_stats {
    double integrated = -999.0;  // LUFS
    double lra = 0.0;            // LU
    double threshold = -999.0;   // LUFS
    double true_peak = -999.0;   // dBFS
    double noise_floor = -999.0; // dB
    // Integrated loudness and loudness range to a thousandth, from the
    // meter's frame metadata (the summary above prints tenths): what the
    // leveller computes its gain from. Only a level measurement fills them.
    double integrated_fine = -999.0;
    double lra_fine = -1.0;
};

// A figure at or below -900 (unset, or minus infinity for silence) reads -70
// in the answers.
inline double or_floor(double v) { return v > -900.0 ? v : -70.0; }

// Probe measures loudness, true peak and noise floor; enhance's measurements
// (the level kind) loudness and true peak alone, with the fine figures; the
// leveller's search (the loudness kind, streams only) loudness alone.
enum class measure_kind { full, level, loudness };

// Chain the full measurement runs. With threads its two filters run as two
// graphs side by side; astats then gets the same double samples through
// MEASURE_STATS_CHAIN that ebur128 would hand it. The level measurement
// runs MEASURE_LEVEL_CHAIN, the same meter with its frame metadata.
extern const char* const MEASURE_CHAIN;
extern const char* const MEASURE_LOUDNESS_CHAIN;
extern const char* const MEASURE_STATS_CHAIN;
extern const char* const MEASURE_LEVEL_CHAIN;

// The full kind runs its two graphs side by side when cfg lets the call use
// threads.
int measure_pcm(const int16_t* pcm, int64_t frames, int sample_rate, int channels,
                const settings& cfg, loudness_stats* out,
                measure_kind kind = measure_kind::full);

// The loudness alone (the fine figures too, no true peak) of what chain
// makes of pcm, delay-compensated by delay frames (see graph_context). With
// threads the meter runs beside the chain.
int measure_through(const char* chain, int64_t delay, const int16_t* pcm, int64_t frames,
                    int sample_rate, int channels, const settings& cfg, loudness_stats* out);

// The same, with the output replacing *pcm as it comes: output frame n takes
// the place of input frame n, which the chain has read by then. *frames:
// the output's length (never more than the input's). also, when given, sees
// the output too.
int measure_in_place(const char* chain, int64_t delay, int16_t* pcm, int64_t* frames,
                     int sample_rate, int channels, const settings& cfg, loudness_stats* out,
                     pcm_sink_fn also = nullptr, void* also_ctx = nullptr);

// Parses ebur128/astats log text into *out (reset to the unset values first).
// Returns 0 when an integrated loudness of -900 or more was read.
int parse_measurement(const char* text, loudness_stats* out);

// A measurement fed block by block as the caller goes. With threads each of
// its graphs (one for the level kind) runs on a worker of its own, under its
// own capture; on one thread the meters run as one graph inside the pushes,
// under the caller's capture from start to finish.
struct meter_meta {
    double integrated = -999.0;
    double lra = -1.0;
};
struct measure_stream {
    block_queue queues[2];
    worker workers[2];
    std::string texts[2];
    meter_meta meta;
    int started = 0;
    measure_kind kind = measure_kind::full;
    graph_context graph;  // on one thread
    bool here = false;    // the graph above runs, and the capture is open
    ~measure_stream();    // cancels and joins what still runs
};
int measure_stream_start(measure_stream* m, int sample_rate, int channels, const settings& cfg,
                         measure_kind kind = measure_kind::full);
// Hands on frames of interleaved samples. False when a meter has failed
// (the stream is then finished with -1).
bool measure_stream_push(measure_stream* m, const int16_t* pcm, int64_t frames, int channels);
bool measure_stream_push(measure_stream* m, const block_ptr& block);
int measure_stream_finish(measure_stream* m, loudness_stats* out);

// Measures an open input as it decodes; none of the decoded audio is held.
// With threads (cfg) the graphs run on workers fed from the decoder.
// Returns 0, -1 when decoding failed or MEASURE_FAILED (g_err set).
constexpr int MEASURE_FAILED = -2;
int measure_decoded(decoder_state* dec, const settings& cfg, loudness_stats* out,
                    measure_kind kind = measure_kind::full);
