#pragma once
// Shift_JIS text (code page 932) as UTF-8, for what the board sends in
// UTF-8 (the feed). A byte that starts no character here becomes U+FFFD.
#include <string>
#include <string_view>

namespace platform {

std::string shift_jis_to_utf8(std::string_view shift_jis);

}  // namespace platform
