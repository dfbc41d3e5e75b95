// libFuzzer target: the message dictionary's readers and setters.

#include <cstdio>

#include "tests/fuzz/dictionary_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (std::optional<std::string> broken = fuzzcheck::checkDictionary(data, size)) {
        fprintf(stderr, "dictionary: %s\n", broken->c_str());
        __builtin_trap();
    }
    return 0;
}
