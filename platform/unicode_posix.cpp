#include "platform/unicode.h"

#include <cerrno>
#include <iconv.h>

namespace platform {

std::string convert_text(std::string_view text, const char* to, const char* from, std::string_view stand_in,
                         bool* lossy) {
    iconv_t cd = iconv_open(to, from);
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
            out += stand_in;  // for a byte that is no character here
            ++in;
            --in_left;
        }
    }
    iconv_close(cd);
    return out;
}

std::string shift_jis_to_utf8(std::string_view shift_jis) {
    return convert_text(shift_jis, "UTF-8", "CP932", "\xEF\xBF\xBD");  // U+FFFD
}

}  // namespace platform
