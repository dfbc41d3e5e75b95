// libFuzzer target: the set_env payload parser and the environment block routines.

#include <cstdio>

#include "tests/fuzz/set_env_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (std::optional<std::string> broken = fuzzcheck::checkSetEnv(data, size)) {
        fprintf(stderr, "set_env: %s\n", broken->c_str());
        __builtin_trap();
    }
    return 0;
}
