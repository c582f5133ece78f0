#include "enhance/enhance.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/measure.h"
#include "api/entry.h"
#include "api/error.h"
#include "api/json_doc.h"
#include "api/options.h"
#include "api/result.h"
#include "engine/decoder.h"
#include "engine/encoder.h"
#include "engine/graph.h"
#include "enhance/chain.h"
#include "enhance/denoise.h"
#include "enhance/loudnorm.h"
#include "platform/fs.h"

namespace {

// What one call holds from decoding on. Leaving scope releases the PCM, the
// decoder's frame, codec context and input, then the RNNoise instance.
struct enhance_state {
    struct denoiser_release {
        ~denoiser_release() { release_denoiser(); }
    } denoiser;
    decoder_state dec;
    pcm_ptr pcm;
    int64_t frames = 0;

    void release() {
        pcm.reset();
        dec = decoder_state{};
        release_denoiser();
    }
};

double peak_or_floor(double v) { return v > -900.0 ? v : -70.0; }

// Runs the chain named by AE_TEST_CHAIN instead of writing an output.
int run_test_chain(enhance_state& s, const char* chain) {
    pcm_ptr out;
    int64_t out_frames = 0;
    if (run_chain(chain, s.pcm.get(), s.frames, s.dec.sample_rate, s.dec.channels, &out,
                  &out_frames) != 0) {
        std::fprintf(stderr, "[AE] test chain failed: %s\n", g_err);
        return 1;
    }
    s.pcm.reset();
    loudness_stats st;
    if (measure_pcm(out.get(), out_frames, s.dec.sample_rate, s.dec.channels, &st) != 0) return 0;
    std::fprintf(stderr, "[AE] test-chain I=%.2f TP=%.2f\n", st.integrated, st.true_peak);
    return 0;
}

// Decodes and measures the written file; false when it cannot be read.
bool measure_file(const char* path, loudness_stats* st) {
    decoder_state dec;
    pcm_ptr pcm;
    int64_t frames = 0;
    if (decode_open(&dec, path) != 0 || decode_all(&dec, &pcm, &frames) != 0) return false;
    return measure_pcm(pcm.get(), frames, dec.sample_rate, dec.channels, st) == 0;
}

}  // namespace

int enhance_file(const char* in_path, const char* out_path, const char* options,
                 const char** out) {
    clear_err();
    if (!out_path || !out || !in_path) {
        set_err("null args");
        return -1;
    }
    if (check_input_file(in_path) != 0) return -1;
    // Never replace a recording by its own result.
    if (fs_same_file(in_path, out_path)) {
        set_err("output path is the input file: %s", out_path);
        return -1;
    }
    enhance_options opt;
    if (parse_options(options, &opt) != 0) return -1;

    enhance_state s;
    if (decode_open(&s.dec, in_path) != 0 || decode_all(&s.dec, &s.pcm, &s.frames) != 0)
        return -1;
    const int rate = s.dec.sample_rate;
    const int channels = s.dec.channels;
    const double duration_s = s.dec.duration_s;

    loudness_stats before, mid;
    if (measure_pcm(s.pcm.get(), s.frames, rate, channels, &before) != 0) {
        s.release();
        set_err("before-measure failed");
        return -1;
    }
    applied_list applied;
    if (opt.denoise >= 1) {
        pcm_ptr denoised;
        int64_t n = 0;
        if (denoise_pcm(s.pcm.get(), s.frames, rate, channels, opt.denoise, &denoised, &n) != 0)
            return -1;
        s.pcm = std::move(denoised);
        s.frames = n;
        applied_add(&applied, "denoise");
        if (measure_pcm(s.pcm.get(), s.frames, rate, channels, &mid) != 0) {
            s.release();
            set_err("mid-measure failed");
            return -1;
        }
    } else {
        mid = before;  // nothing changed the audio
    }

    loudnorm_measured lm;
    if (opt.loudnorm) {
        if (loudnorm_first_pass(s.pcm.get(), s.frames, rate, channels, opt.target_lufs, &lm) != 0)
            return -1;
        applied_add(&applied, "loudnorm");
    }

    char chain[CHAIN_SIZE] = "";
    double peak = mid.true_peak > -900.0 ? mid.true_peak : before.true_peak;
    compose_chain(opt, peak, lm, chain, sizeof chain, &applied);
    // loudnorm works (and outputs) at 192 kHz; bring the audio back to the
    // input's rate, or the file would play at the wrong speed.
    if (opt.loudnorm) {
        char back[32];
        std::snprintf(back, sizeof back, ",aresample=%d", rate);
        size_t used = std::strlen(chain);
        std::snprintf(chain + used, sizeof chain - used, "%s", back);
    }
    if (debug_on()) std::fprintf(stderr, "[AE] chain: %s\n", chain);

    if (const char* test_chain = std::getenv("AE_TEST_CHAIN")) return run_test_chain(s, test_chain);

    if (chain[0]) {
        pcm_ptr filtered;
        int64_t n = 0;
        if (run_chain(chain, s.pcm.get(), s.frames, rate, channels, &filtered, &n) != 0) {
            set_err("filter chain failed: %s", g_err);
            return -1;
        }
        s.pcm = std::move(filtered);
        s.frames = n;
    }
    if (encode_file(out_path, s.pcm.get(), s.frames, rate, channels) != 0) return -1;
    s.release();

    loudness_stats after;
    const loudness_stats* reported = &before;
    if (measure_file(out_path, &after) && !(after.integrated < -900.0))
        reported = &after;
    else if (!(mid.integrated < -900.0))
        reported = &mid;
    // The after-measure is no failure of the call: forget what it left.
    clear_err();
    int64_t size = file_size(out_path);

    answer_ptr doc = answer_new();
    if (doc) {
        yyjson_mut_doc* d = doc.get();
        yyjson_mut_val* root = yyjson_mut_obj(d);
        yyjson_mut_doc_set_root(d, root);
        yyjson_mut_obj_add_strcpy(d, root, "output", out_path);
        yyjson_mut_obj_add_real(d, root, "before_lufs", before.integrated);
        yyjson_mut_obj_add_real(d, root, "after_lufs", reported->integrated);
        yyjson_mut_obj_add_real(d, root, "before_peak", peak_or_floor(before.true_peak));
        yyjson_mut_obj_add_real(d, root, "after_peak", peak_or_floor(reported->true_peak));
        yyjson_mut_obj_add_real(d, root, "size_mb", static_cast<double>(size) / 1048576.0);
        yyjson_mut_obj_add_real(d, root, "duration_s", duration_s);
        yyjson_mut_val* list = yyjson_mut_obj_add_arr(d, root, "applied");
        for (int i = 0; list && i < applied.count; i++)
            yyjson_mut_arr_add_strcpy(d, list, applied.names[i]);
    }
    return finish_json(doc.get(), out);
}
