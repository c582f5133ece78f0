// Enhance of small inputs with fuzzed options. The input is the options
// text, a NUL, one byte choosing the output container, then the audio bytes,
// so both the document and the recording mutate.
#include <cstdint>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const EXT[] = {"wav", "m4a", "mp3", "ogg", "opus", "flac"};
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    if (!nul || nul + 1 == data + size) return 0;
    const std::string options(reinterpret_cast<const char*>(data), nul - data);
    const char* ext = EXT[nul[1] % 6];
    const uint8_t* audio = nul + 2;
    const size_t audio_size = size - (audio - data);

    const std::string in = fuzz_dir() + "/input.bin";
    const std::string out = fuzz_dir() + "/output." + ext;
    fuzz_write(in, audio, audio_size);
    std::remove(out.c_str());
    const char* json = nullptr;
    int rc = audioenhancer_enhance(in.c_str(), out.c_str(), options.c_str(), &json);
    fuzz_check_answer(rc, json);
    // A failed call leaves no output behind; a working one leaves one.
    if (fuzz_exists(out) != (rc == 0)) {
        std::fprintf(stderr, "rc %d but output %s\n", rc, fuzz_exists(out) ? "exists" : "missing");
        std::abort();
    }
    std::remove(out.c_str());
    return 0;
}
