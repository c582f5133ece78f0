#include "enhance/chain.h"

#include <cstdio>
#include <cstring>

void applied_add(applied_list* list, const char* name) {
    if (list->count >= APPLIED_MAX) return;
    std::snprintf(list->names[list->count++], sizeof list->names[0], "%s", name);
}

// Appends piece, with a comma when the chain already holds text; cut at the
// buffer's end, never past it.
static void append(char* chain, size_t size, const char* piece) {
    size_t used = std::strlen(chain);
    if (used + 1 >= size) return;
    std::snprintf(chain + used, size - used, "%s%s", used ? "," : "", piece);
}

struct eq_preset {
    const char* name;
    const char* filters;
};

static const eq_preset EQ_PRESETS[] = {
    {"podcast",
     "highpass=f=80:poles=2,equalizer=f=150:t=q:w=1.0:g=-3,equalizer=f=3000:t=q:w=1.0:g=3,"
     "equalizer=f=8000:t=q:w=1.4:g=2,bass=f=120:g=-2"},
    {"music", "bass=f=100:g=3,treble=f=5000:g=3"},
    {"voice",
     "equalizer=f=250:t=q:w=1.2:g=2,equalizer=f=4000:t=q:w=1.0:g=2,"
     "equalizer=f=9000:t=q:w=1.2:g=-2"},
};

void compose_chain(const enhance_options& opt, double peak_db, const loudnorm_measured& m,
                   char* chain, size_t size, applied_list* applied) {
    char piece[512];
    if (opt.denoise >= 8) append(chain, size, "afftdn=nr=12");
    if (opt.repair_clicks) {
        append(chain, size, "adeclick");
        applied_add(applied, "repair_clicks");
    }
    for (const eq_preset& p : EQ_PRESETS) {
        if (std::strcmp(opt.eq, p.name) != 0) continue;
        append(chain, size, p.filters);
        std::snprintf(piece, sizeof piece, "eq_%s", p.name);
        applied_add(applied, piece);
    }
    if (opt.normalize_peak) {
        // Silence has no peak to lift to full scale: leave its level alone.
        double gain = peak_db > -900.0 ? -0.1 - peak_db : 0.0;
        if (gain < -60.0) gain = -60.0;
        std::snprintf(piece, sizeof piece, "volume=%.2f dB", gain);
        append(chain, size, piece);
        applied_add(applied, "normalize_peak");
    }
    if (opt.loudnorm) {
        loudnorm_second_pass(piece, sizeof piece, opt.target_lufs, m);
        append(chain, size, piece);
    }
}

int chain_delay(const enhance_options&, int, int, int64_t* frames) {
    *frames = 0;  // TODO(align): measured per stage
    return 0;
}
