// libFuzzer target: request reading, form decoding, the cookie and session
// lines, path safety and HTML escaping, each checked against its rules.
#include <cstddef>
#include <cstdint>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    komorebi_fuzz::check_parsers(data, size);
    return 0;
}
