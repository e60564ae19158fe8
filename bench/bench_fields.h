// The messages of the posting benchmarks: message i of a benchmark board has
// these fields. post_client sends them and make_board writes what posting
// them leaves on disk, so both must take them from here.
#pragma once

#include <string>

namespace bench {

// "ベンチ" in Shift_JIS.
inline std::string message_name(long) { return "\x83\x78\x83\x93\x83\x60"; }
inline std::string message_title(long i) { return "post " + std::to_string(i); }
// Two lines, with the CR LF a browser sends for a typed line break.
inline std::string message_text(long i) {
    return "message " + std::to_string(i) +
           " of the posting benchmark\r\na second line with some words to give the page a realistic size";
}

// application/x-www-form-urlencoded as a browser sends it from a Shift_JIS
// page: letters, digits and *-._ as they are, "+" for a blank, upper-case
// %XX for every other byte.
inline std::string form_encode(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
            c == '.' || c == '_') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

inline std::string post_body(long i) {
    return "name=" + form_encode(message_name(i)) + "&title=" + form_encode(message_title(i)) +
           "&text=" + form_encode(message_text(i));
}

}  // namespace bench
