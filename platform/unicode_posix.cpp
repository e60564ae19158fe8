#include "platform/unicode.h"

#include <strings.h>

#include <cerrno>
#include <iconv.h>

#include "platform/sjis.h"

namespace platform {

std::string convert_text(std::string_view text, const char* to, const char* from, std::string_view stand_in,
                         bool* lossy) {
    iconv_t cd = iconv_open(to, from);
    // An unassigned Shift_JIS pair is one unknown character, as Windows
    // reads it: its second byte, taken alone, would join the next character.
    const bool shift_jis = strcasecmp(from, "CP932") == 0;
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
    std::string out;
    char buf[1024];
    char* in = const_cast<char*>(text.data());
    size_t in_left = text.size();
    while (in_left > 0) {
        char* o = buf;
        size_t o_left = sizeof buf;
        size_t r = iconv(cd, &in, &in_left, &o, &o_left);
        out.append(buf, static_cast<size_t>(o - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            if (lossy) *lossy = true;
            out += stand_in;  // for a byte, or a Shift_JIS pair, that is no character here
            size_t bad = shift_jis && in_left >= 2 && sjis::is_lead_byte(in[0]) && sjis::is_second_byte(in[1]) ? 2 : 1;
            in += bad;
            in_left -= bad;
        }
    }
    iconv_close(cd);
    return out;
}

std::string shift_jis_to_utf8(std::string_view shift_jis) {
    return convert_text(shift_jis, "UTF-8", "CP932", "\xEF\xBF\xBD");  // U+FFFD
}

}  // namespace platform
