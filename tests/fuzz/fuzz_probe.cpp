// Probe of arbitrary bytes written to a regular file.
#include <cstdint>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_dir() + "/input";
    fuzz_write(path, data, size);
    const char* json = nullptr;
    int rc = audioenhancer_probe(path.c_str(), &json);
    fuzz_check_answer(rc, json);
    return 0;
}
