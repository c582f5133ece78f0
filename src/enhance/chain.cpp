#include "enhance/chain.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/error.h"
#include "base/lists.h"
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

// Each preset's filter text, by the names of EQ_PRESET_NAMES.
struct eq_preset {
    const char* name;
    const char* filters;
};

static constexpr eq_preset EQ_PRESETS[] = {
    {"podcast",
     "highpass=f=80:poles=2,equalizer=f=150:t=q:w=1.0:g=-3,equalizer=f=3000:t=q:w=1.0:g=3,"
     "equalizer=f=8000:t=q:w=1.4:g=2,bass=f=120:g=-2"},
    {"music", "bass=f=100:g=3,treble=f=5000:g=3"},
    {"voice",
     "equalizer=f=250:t=q:w=1.2:g=2,equalizer=f=4000:t=q:w=1.0:g=2,"
     "equalizer=f=9000:t=q:w=1.2:g=-2"},
};

// Every name the options accept has its filter text, and every filter text
// a name the options accept.
static constexpr bool presets_match_names() {
    if (std::size(EQ_PRESETS) != std::size(EQ_PRESET_NAMES)) return false;
    for (const char* name : EQ_PRESET_NAMES) {
        bool found = false;
        for (const eq_preset& p : EQ_PRESETS) found = found || same_name(p.name, name);
        if (!found) return false;
    }
    return true;
}
static_assert(presets_match_names(),
              "EQ_PRESETS must hold the filter text of each name in src/base/lists.json");

static const eq_preset* preset_of(const enhance_options& opt) {
    for (const eq_preset& p : EQ_PRESETS)
        if (std::strcmp(opt.eq, p.name) == 0) return &p;
    return nullptr;
}

namespace {

// One stage of the chain before the leveller.
struct chain_stage {
    char filters[512];    // its filter text
    char applied[32];     // its entry in the applied list; "" for none
    double settle_s;      // the settle time its delay is measured after (align.h)
};

constexpr int STAGES_MAX = 4;

// The stages opt asks for, in chain order; the peak gain raises by gain_db.
int chain_stages(const enhance_options& opt, double gain_db, chain_stage* stages) {
    int count = 0;
    auto add = [&](const char* filters, const char* applied, double settle_s) {
        chain_stage& st = stages[count++];
        std::snprintf(st.filters, sizeof st.filters, "%s", filters);
        std::snprintf(st.applied, sizeof st.applied, "%s", applied);
        st.settle_s = settle_s;
        return &st;
    };
    if (opt.denoise >= 8) add(AFFTDN_PIECE, "", 0.5);
    if (opt.repair_clicks) add("adeclick", "repair_clicks", 0.5);
    if (const eq_preset* p = preset_of(opt)) {
        chain_stage* st = add(p->filters, "", 0.5);
        std::snprintf(st->applied, sizeof st->applied, "eq_%s", p->name);
    }
    if (opt.normalize_peak) {
        chain_stage* st = add("", "normalize_peak", 0.0);
        std::snprintf(st->filters, sizeof st->filters, "volume=%.2f dB", gain_db);
    }
    return count;
}

}  // namespace

void compose_chain(const enhance_options& opt, double peak_db, char* chain, size_t size,
                   applied_list* applied) {
    // Silence has no peak to lift to full scale: leave its level alone.
    double gain = peak_db > -900.0 ? -0.1 - peak_db : 0.0;
    if (gain < -60.0) gain = -60.0;
    chain_stage stages[STAGES_MAX];
    int count = chain_stages(opt, gain, stages);
    for (int i = 0; i < count; i++) {
        append(chain, size, stages[i].filters);
        if (stages[i].applied[0]) applied_add(applied, stages[i].applied);
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
    // delays of a chain's stages add up. The peak gain's delay does not
    // depend on its value.
    chain_stage stages[STAGES_MAX];
    int count = chain_stages(opt, -6.0, stages);
    int64_t total = 0;
    for (int i = 0; i < count; i++) {
        int64_t d = 0;
        if (stage_delay(stages[i].filters, sample_rate, stages[i].settle_s, &d) != 0)
            return -1;
        total += d;
    }
    // A stage that runs ahead cannot be undone by trimming the start.
    *frames = total > 0 ? total : 0;
    return 0;
}
