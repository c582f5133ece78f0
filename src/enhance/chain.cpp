#include "enhance/chain.h"

#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "enhance/align.h"

void applied_add(applied_list* list, const char* name) {
    if (list->count >= APPLIED_MAX) return;
    std::snprintf(list->names[list->count++], sizeof list->names[0], "%.31s", name);
}

// Appends piece, with a comma when the chain already holds text; cut at the
// buffer's end, never past it.
static void append(char* chain, size_t size, const char* piece) {
    size_t used = std::strlen(chain);
    if (used + 1 >= size) return;
    std::snprintf(chain + used, size - used, "%s%s", used ? "," : "", piece);
}

// Spectral denoise on top of RNNoise from level 8 on.
static const char* const AFFTDN_PIECE = "afftdn=nr=12";

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

static const eq_preset* preset_of(const enhance_options& opt) {
    for (const eq_preset& p : EQ_PRESETS)
        if (std::strcmp(opt.eq, p.name) == 0) return &p;
    return nullptr;
}

void compose_chain(const enhance_options& opt, double peak_db, char* chain, size_t size,
                   applied_list* applied) {
    char piece[512];
    if (opt.denoise >= 8) append(chain, size, AFFTDN_PIECE);
    if (opt.repair_clicks) {
        append(chain, size, "adeclick");
        applied_add(applied, "repair_clicks");
    }
    if (const eq_preset* p = preset_of(opt)) {
        append(chain, size, p->filters);
        std::snprintf(piece, sizeof piece, "eq_%s", p->name);
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
}

int chain_delay(const enhance_options& opt, int sample_rate, int channels,
                int64_t* frames) {
    *frames = 0;
    if (sample_rate < 1 || channels < 1) {
        set_err("cannot align the chain: bad format %d Hz, %d channels", sample_rate, channels);
        return -1;
    }
    // Each stage is measured on its own, in the form the chain runs it: the
    // delays of a chain's stages add up.
    struct stage {
        const char* piece;
        double settle_s;
    };
    stage stages[4];
    int count = 0;
    if (opt.denoise >= 8) stages[count++] = {AFFTDN_PIECE, 0.5};
    if (opt.repair_clicks) stages[count++] = {"adeclick", 0.5};
    if (const eq_preset* p = preset_of(opt)) stages[count++] = {p->filters, 0.5};
    // The peak gain's delay does not depend on its value.
    if (opt.normalize_peak) stages[count++] = {"volume=-6.00 dB", 0.0};
    int64_t total = 0;
    for (int i = 0; i < count; i++) {
        int64_t d = 0;
        if (stage_delay(stages[i].piece, sample_rate, stages[i].settle_s, &d) != 0)
            return -1;
        total += d;
    }
    // A stage that runs ahead cannot be undone by trimming the start.
    *frames = total > 0 ? total : 0;
    return 0;
}
