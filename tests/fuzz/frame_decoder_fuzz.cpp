// libFuzzer target: the connection's frame decoder and its declared-size guard.

#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (fuzzharness::Broken broken = fuzzharness::checkFrameDecoder(data, size)) {
        fprintf(stderr, "frame_decoder: %s\n", broken->c_str());
        __builtin_trap();
    }
    return 0;
}
