// What the environment asks of the library, read into one record. Every
// working call reads it once as it starts and hands it down to what depends
// on it; nothing below the exports reads the environment.
#pragma once

struct settings {
    // Threads one call may use: 1 runs all of it on the calling thread
    // (AE_THREADS=1, and each file of a batch that runs files side by side);
    // 0 lets it start workers where the machine has more than one processor.
    int threads = 0;
    // AE_MAX_DECODED_MB: mebibytes the decoded PCM of one call may take;
    // 0 when unset, and the physical memory available then sets the limit.
    double max_decoded_mb = 0.0;
    // AE_DEBUG (set to anything, even ""): errors echoed, chains, frame lines
    // and the analysis logs written.
    bool debug = false;
    // AE_DEBUG2: one line about the first frame leaving a filter graph.
    bool debug_frames = false;
};

// The record as the environment gives it now.
settings settings_from_env();

// The record read once, on first use, for the process. Only debug output
// asks it (through debug_on() and debug_frames_on()): set_err and FFmpeg's
// log callback are reached from every layer, with no call's record to hand,
// so the debug switches are the process's rather than each call's.
const settings& process_settings();
