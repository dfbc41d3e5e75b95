// libFuzzer target: the set_env payload parser.

#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (fuzzharness::Broken broken = fuzzharness::checkSetEnv(data, size)) {
        fprintf(stderr, "set_env: %s\n", broken->c_str());
        __builtin_trap();
    }
    return 0;
}
