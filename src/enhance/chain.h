// Composition of the enhance filter chain and the applied list.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/options.h"
#include "base/settings.h"

constexpr size_t CHAIN_SIZE = 2048;
constexpr int APPLIED_MAX = 8;

struct applied_list {
    char names[APPLIED_MAX][32] = {};
    int count = 0;
};

void applied_add(applied_list* list, const char* name);

// Appends the pieces for opt that stand before the leveller to chain (which
// may already hold text) and their entries to applied. peak_db is the true
// peak the peak gain uses.
void compose_chain(const enhance_options& opt, double peak_db, char* chain, size_t size,
                   applied_list* applied);

// Frames by which the pieces compose_chain puts in the chain delay the audio
// at sample_rate. The chain runner pushes that many frames of silence after
// the input and drops as many from the start of the output, so output frame
// n is input frame n and the whole recording is kept. Each stage's delay is
// measured the first time a rate needs it and cached (align.h), so the first
// call at a rate takes a few tenths of a second. -1 and g_err on failure.
int chain_delay(const enhance_options& opt, int sample_rate, int channels,
                int64_t* frames);
