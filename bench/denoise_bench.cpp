// Cost of the denoise stage on a long 44.1 kHz stereo recording, against
// its parts: the two resampling runs and RNNoise on its own.
//
// usage: denoise_bench [MINUTES]   (default 10; the recording goes to /tmp)
#include <rnnoise.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/error.h"
#include "engine/graph.h"
#include "enhance/denoise.h"

namespace {

constexpr int RATE = 44100;
constexpr int CHANNELS = 2;

double now_s() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// Speech from espeak-ng, looped, over pink noise; raw interleaved s16.
bool make_recording(const std::string& path, int minutes) {
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        return true;
    }
    const std::string voice = "/tmp/ae_denoise_bench_voice.wav";
    std::string cmd =
        "espeak-ng -s 150 -w " + voice +
        " 'The quick brown fox jumps over the lazy dog. Audio enhancement makes speech clear "
        "and level.' && ffmpeg -nostdin -y -v error -stream_loop -1 -i " + voice +
        " -f lavfi -i anoisesrc=color=pink:amplitude=0.02:sample_rate=" + std::to_string(RATE) +
        " -filter_complex '[0:a]aresample=" + std::to_string(RATE) +
        ",pan=stereo|c0=c0|c1=0.8*c0[v];[v][1:a]amix=inputs=2:duration=first:normalize=0' -t " +
        std::to_string(minutes * 60) + " -ar " + std::to_string(RATE) +
        " -ac 2 -f s16le " + path + ".tmp && mv " + path + ".tmp " + path;
    return std::system(cmd.c_str()) == 0;
}

bool read_all(const std::string& path, std::vector<int16_t>* out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::fseek(f, 0, SEEK_END);
    long bytes = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    out->resize(static_cast<size_t>(bytes) / sizeof(int16_t));
    size_t got = std::fread(out->data(), sizeof(int16_t), out->size(), f);
    std::fclose(f);
    return got == out->size();
}

// RNNoise over every whole frame of every channel, nothing else.
double rnnoise_alone(const int16_t* pcm, int64_t frames, int channels) {
    DenoiseState* st = rnnoise_create(nullptr);
    std::vector<float> ch(static_cast<size_t>(frames));
    float out[480];
    double total = 0.0;
    for (int c = 0; c < channels; c++) {
        for (int64_t i = 0; i < frames; i++) ch[i] = pcm[i * channels + c];
        double t0 = now_s();
        for (int64_t at = 0; at + 480 <= frames; at += 480)
            rnnoise_process_frame(st, out, ch.data() + at);
        total += now_s() - t0;
    }
    rnnoise_destroy(st);
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 10;
    const std::string path = "/tmp/ae_denoise_bench_" + std::to_string(minutes) + "min.s16";
    std::vector<int16_t> pcm;
    if (!make_recording(path, minutes) || !read_all(path, &pcm)) {
        std::fprintf(stderr, "cannot make or read %s\n", path.c_str());
        return 1;
    }
    const int64_t frames = static_cast<int64_t>(pcm.size() / CHANNELS);
    const double seconds = static_cast<double>(frames) / RATE;
    const settings cfg = settings_from_env();

    pcm_ptr up;
    int64_t up_frames = 0;
    double t0 = now_s();
    if (run_chain("aresample=48000", pcm.data(), frames, RATE, CHANNELS, cfg, &up,
                  &up_frames) != 0) {
        std::fprintf(stderr, "up-resample: %s\n", g_err);
        return 1;
    }
    const double t_up = now_s() - t0;

    const double t_rn = rnnoise_alone(up.get(), up_frames, CHANNELS);

    pcm_ptr back;
    int64_t back_frames = 0;
    t0 = now_s();
    if (run_chain("aresample=44100", up.get(), up_frames, 48000, CHANNELS, cfg, &back,
                  &back_frames) != 0) {
        std::fprintf(stderr, "back-resample: %s\n", g_err);
        return 1;
    }
    const double t_down = now_s() - t0;
    up.reset();
    back.reset();

    pcm_ptr out;
    int64_t out_frames = 0;
    t0 = now_s();
    int rc = denoise_pcm(pcm.data(), frames, RATE, CHANNELS, 10, cfg, &out, &out_frames);
    const double t_stage = now_s() - t0;
    release_denoiser();
    if (rc != 0) {
        std::fprintf(stderr, "denoise: %s\n", g_err);
        return 1;
    }

    const double parts = t_up + t_rn + t_down;
    std::printf("recording: %.0f s, %d Hz, %d channels, %lld frames\n", seconds, RATE, CHANNELS,
                static_cast<long long>(frames));
    std::printf("%-22s %9s %12s\n", "", "seconds", "x realtime");
    std::printf("%-22s %9.2f %12.1f\n", "up-resample 48 kHz", t_up, seconds / t_up);
    std::printf("%-22s %9.2f %12.1f\n", "rnnoise alone", t_rn, seconds / t_rn);
    std::printf("%-22s %9.2f %12.1f\n", "back-resample", t_down, seconds / t_down);
    std::printf("%-22s %9.2f %12.1f\n", "sum of the parts", parts, seconds / parts);
    std::printf("%-22s %9.2f %12.1f\n", "denoise stage", t_stage, seconds / t_stage);
    std::printf("stage / parts: %.2f (target <= 1.30); output %lld frames\n", t_stage / parts,
                static_cast<long long>(out_frames));
    return 0;
}
