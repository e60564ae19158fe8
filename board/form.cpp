#include "board/form.h"

namespace board {

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

static size_t find_key(std::string_view body, std::string_view key) {
    for (size_t at = 0; at <= body.size();) {
        size_t eq = at + key.size();
        if (body.compare(at, key.size(), key) == 0 && eq < body.size() && body[eq] == '=') return eq + 1;
        size_t amp = body.find('&', at);
        if (amp == std::string_view::npos) break;
        at = amp + 1;
    }
    return std::string_view::npos;
}

std::optional<std::string> form_field(std::string_view body, std::string_view key, FieldRules rules) {
    size_t i = find_key(body, key);
    if (i == std::string_view::npos) return std::nullopt;
    std::string value;
    while (i < body.size() && body[i] != '&' && value.size() < rules.max_bytes) {
        char c = body[i];
        if (c == '%') {
            if (i + 2 >= body.size()) break;
            c = static_cast<char>(hex_digit(body[i + 1]) * 16 + hex_digit(body[i + 2]));
            i += 3;
            if (c == '\0' && rules.zero_ends_value) break;
        } else {
            if (c == '+') c = ' ';
            i += 1;
        }
        value += c;
    }
    return value;
}

}  // namespace board
