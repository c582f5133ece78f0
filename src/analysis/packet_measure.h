// Measuring a lossy output while its encoder writes it: the encoder's
// packets are decoded and metered on a worker beside the encoder. Once the
// file is written, its own decoding is checked against what was metered, so
// the figures are the written file's or none.
#pragma once
#include <cstdint>

#include "analysis/measure.h"
#include "engine/owners.h"
#include "engine/pipe.h"

struct packet_measure {
    bounded_queue<packet_ptr> packets;
    worker thread;
    // What the written file decodes to, handed to the worker once known
    // (under packets.lock): it meters up to there. -1: the file is unread.
    int64_t file_frames = 0;
    bool file_known = false;
    // The worker's: what it metered, and a fingerprint of those samples.
    int64_t metered = 0;
    uint64_t print = 0;
    loudness_stats stats;
    ~packet_measure();  // cancels and joins what still runs
};

// Starts the worker for the packets of an encoder described by par.
int packet_measure_start(packet_measure* m, const AVCodecParameters* par, const settings& cfg);

// The writer's packet tap (writer_set_tap) with m as its context.
int packet_measure_tap(void* m, const AVPacket* pkt);

// Once the encoder has written path: true, with the file's figures in
// *out, when the file decodes to exactly the samples metered.
bool packet_measure_finish(packet_measure* m, const char* path, loudness_stats* out);
