#include "platform/unicode.h"

#include <strings.h>

#include <cerrno>
#include <iconv.h>

namespace platform {
namespace {

bool is_lead_byte(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 0x81 && u <= 0x9F) || (u >= 0xE0 && u <= 0xFC);
}

bool is_second_byte(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x40 && u <= 0xFC && u != 0x7F;
}

}  // namespace

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
            size_t bad = shift_jis && in_left >= 2 && is_lead_byte(in[0]) && is_second_byte(in[1]) ? 2 : 1;
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
