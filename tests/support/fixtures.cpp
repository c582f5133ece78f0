#include "fixtures.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "engine/decoder.h"

std::string fixture_dir() {
    std::string dir = AE_FIXTURE_DIR;
    mkdir(dir.c_str(), 0777);
    return dir;
}

int run_cmd(const std::string& cmd) {
#ifdef _WIN32
    return linux_shell(cmd);  // the commands are Linux ones
#else
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
}

static bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

static std::string publish(const std::string& path, const std::string& make_tmp_cmd,
                           const std::string& tmp) {
    if (exists(path)) return path;
    if (run_cmd(make_tmp_cmd) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ADD_FAILURE() << "fixture command failed: " << make_tmp_cmd;
        std::remove(tmp.c_str());
    }
    return path;
}

static std::string tmp_name(const std::string& path) {
    // Keep the extension last so ffmpeg picks the muxer from it.
    std::string::size_type dot = path.rfind('.');
    std::string tag = ".tmp" + std::to_string(getpid());
    return dot == std::string::npos ? path + tag : path.substr(0, dot) + tag + path.substr(dot);
}

std::string ffmpeg_fixture(const std::string& name, const std::string& ffmpeg_args) {
    std::string path = fixture_dir() + "/" + name;
    std::string tmp = tmp_name(path);
    return publish(path, "ffmpeg -nostdin -y -v error " + ffmpeg_args + " '" + tmp + "'", tmp);
}

std::string speech_fixture(int rate, int channels) {
    std::string name = "speech_" + std::to_string(rate) + "_" + std::to_string(channels) + ".wav";
    std::string path = fixture_dir() + "/" + name;
    std::string tmp = tmp_name(path);
    std::string raw = tmp + ".espeak.wav";
    std::string cmd =
        "espeak-ng -s 150 -w '" + raw +
        "' 'The quick brown fox jumps over the lazy dog. Audio enhancement makes "
        "speech clear and level. Podcasts and archives sound better when the noise is "
        "gone.' && ffmpeg -nostdin -y -v error -i '" + raw + "' -ar " + std::to_string(rate) +
        " -ac " + std::to_string(channels) + " '" + tmp + "'; rc=$?; rm -f '" + raw + "'; exit $rc";
    return publish(path, cmd, tmp);
}

std::string scratch_dir(const std::string& name) {
    std::string dir = fixture_dir() + "/scratch_" + name + "_" + std::to_string(getpid());
    run_cmd("rm -rf '" + dir + "' && mkdir -p '" + dir + "'");
    return dir;
}

void write_file(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

bool decode_file(const std::string& path, decoded_file* out) {
    decoder_state st;
    if (decode_open(&st, path.c_str()) != 0) return false;
    out->sample_rate = st.sample_rate;
    out->channels = st.channels;
    out->duration_s = st.duration_s;
    out->codec = st.codec;
    out->format = st.format;
    return decode_all(&st, settings_from_env(), &out->pcm, &out->frames) == 0;
}
