// libFuzzer target: the connection's frame decoder and its declared-size guard.

#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/frame_decoder_check.h"

namespace {
fuzzcheck::FrameCheckOptions options;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    options.tolerateEarlyRefusal = getenv("LD_FUZZ_TOLERATE_EARLY_REFUSAL") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (std::optional<std::string> broken = fuzzcheck::checkFrameDecoder(data, size, options)) {
        fprintf(stderr, "frame_decoder: %s\n", broken->c_str());
        __builtin_trap();
    }
    return 0;
}
