#include "analysis/probe.h"

#include "base/error.h"
#include "engine/decoder.h"

int probe_run(const char* path, const settings& cfg, probe_result* r) {
    if (check_input_file(path) != 0) return -1;
    decoder_state st;
    if (decode_open(&st, path) != 0) return -1;
    int rc = measure_decoded(&st, cfg, &r->stats);
    if (rc == MEASURE_FAILED) set_err("loudness measurement failed");
    if (rc != 0) return -1;
    r->duration_s = st.duration_s;
    r->sample_rate = st.sample_rate;
    r->channels = st.channels;
    r->codec = st.codec;
    r->format = st.format;
    return 0;
}
