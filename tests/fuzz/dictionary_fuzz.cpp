// libFuzzer target: the message dictionary's readers and setters.

#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (fuzzharness::Broken broken = fuzzharness::checkDictionary(data, size)) {
        fprintf(stderr, "dictionary: %s\n", broken->c_str());
        __builtin_trap();
    }
    return 0;
}
