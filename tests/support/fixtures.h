// Test fixtures generated at test time with ffmpeg and espeak-ng.
#pragma once
#include <string>

#include "analysis/measure.h"
#include "engine/pcm.h"

// Directory that holds the generated fixtures (created on first use).
std::string fixture_dir();

// Runs a shell command, returns its exit status.
int run_cmd(const std::string& cmd);

// Path of fixture `name`, generated on first use by
// `ffmpeg -y -v error <ffmpeg_args> <path>` (written atomically, so test
// processes running side by side share it).
std::string ffmpeg_fixture(const std::string& name, const std::string& ffmpeg_args);

// Speech from espeak-ng, resampled to rate/channels, as WAV.
std::string speech_fixture(int rate, int channels);

// A fresh, empty directory under the build tree for one test.
std::string scratch_dir(const std::string& name);

// Writes bytes to path (overwriting).
void write_file(const std::string& path, const std::string& bytes);

// Decodes a whole file; fails the current test on error.
struct decoded_file {
    pcm_ptr pcm;
    int64_t frames = 0;
    int sample_rate = 0;
    int channels = 0;
    double duration_s = 0.0;
    std::string codec;
    std::string format;
};
bool decode_file(const std::string& path, decoded_file* out);
