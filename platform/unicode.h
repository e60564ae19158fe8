#pragma once
// Shift_JIS text (code page 932) as UTF-8, for what the board sends in
// UTF-8 (the feed). A byte that starts no character here becomes U+FFFD.
#include <string>
#include <string_view>

namespace platform {

std::string shift_jis_to_utf8(std::string_view shift_jis);

#ifndef _WIN32
// Text from one iconv character set to another (the Linux console's terminal
// set): a byte that starts no character in from becomes stand_in, and lossy
// (when given) is set. Text that cannot be converted at all comes back as it is.
std::string convert_text(std::string_view text, const char* to, const char* from, std::string_view stand_in,
                         bool* lossy = nullptr);
#endif

}  // namespace platform
