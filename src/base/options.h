// The enhance options document.
#pragma once

struct enhance_options {
    int denoise = 0;          // 0..10, 0 = off
    int loudnorm = 1;         // flag
    double target_lufs = -14.0;  // -70..0
    int repair_clicks = 0;    // flag
    char eq[32] = "none";     // one of EQ_PRESET_NAMES, or EQ_OFF (base/lists.h)
    int normalize_peak = 0;   // flag
    int jobs = 0;             // batch workers; 0 = one per online processor
};

// Fills *opt with the defaults, then with what the JSON text says. A null or
// empty text keeps the defaults. Returns -1 (after set_err) when the text is
// not strict JSON or its root is no object.
int parse_options(const char* text, enhance_options* opt);
