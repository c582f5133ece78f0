#include "analysis/probe.h"

#include <memory>

#include "analysis/measure.h"
#include "api/entry.h"
#include "base/error.h"
#include "base/json_doc.h"
#include "api/result.h"
#include "engine/decoder.h"
#include "enhance/denoise.h"

int probe_file(const char* path, const char** out) {
    clear_err();
    if (!path || !out) {
        set_err("null args");
        return -1;
    }
    if (check_input_file(path) != 0) return -1;

    loudness_stats stats;
    decoder_state st;
    {
        if (decode_open(&st, path) != 0) return -1;
        int rc = measure_decoded(&st, &stats);
        st.frame.reset();
        st.dec.reset();
        st.fmt.reset();
        release_denoiser();
        if (rc == MEASURE_FAILED) set_err("loudness measurement failed");
        if (rc != 0) return -1;
    }

    answer_ptr doc = answer_new();
    if (doc) {
        yyjson_mut_val* root = yyjson_mut_obj(doc.get());
        yyjson_mut_doc_set_root(doc.get(), root);
        yyjson_mut_obj_add_real(doc.get(), root, "duration_s", st.duration_s);
        yyjson_mut_obj_add_int(doc.get(), root, "sample_rate", st.sample_rate);
        yyjson_mut_obj_add_int(doc.get(), root, "channels", st.channels);
        yyjson_mut_obj_add_real(doc.get(), root, "loudness_lufs", stats.integrated);
        yyjson_mut_obj_add_real(doc.get(), root, "true_peak_db", or_floor(stats.true_peak));
        yyjson_mut_obj_add_real(doc.get(), root, "noisefloor_db", or_floor(stats.noise_floor));
        yyjson_mut_obj_add_strcpy(doc.get(), root, "codec", st.codec);
        yyjson_mut_obj_add_strcpy(doc.get(), root, "format", st.format);
    }
    return finish_json(doc.get(), out);
}
