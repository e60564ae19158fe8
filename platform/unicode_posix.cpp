#include "platform/unicode.h"

#include <cerrno>
#include <iconv.h>

namespace platform {

std::string shift_jis_to_utf8(std::string_view shift_jis) {
    std::string out;
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(shift_jis);
    char buf[1024];
    char* in = const_cast<char*>(shift_jis.data());
    size_t in_left = shift_jis.size();
    while (in_left > 0) {
        char* o = buf;
        size_t o_left = sizeof buf;
        size_t r = iconv(cd, &in, &in_left, &o, &o_left);
        out.append(buf, static_cast<size_t>(o - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is no character here
            ++in;
            --in_left;
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace platform
