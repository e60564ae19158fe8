#include "board/form.h"

#include "platform/sjis.h"

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

static int digit_value(char c, bool hex) {
    if (c >= '0' && c <= '9') return c - '0';
    if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

size_t reference_length(std::string_view text) {
    if (text.size() < 2) return text.size() == 1 ? kCutShort : 0;
    if (text[1] != '#') return 0;
    size_t i = 2;
    bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    const size_t first_digit = i;
    unsigned long value = 0;
    for (; i < text.size() && i - first_digit < (hex ? 6u : 7u); ++i) {
        int digit = digit_value(text[i], hex);
        if (digit < 0) break;
        value = value * (hex ? 16 : 10) + static_cast<unsigned long>(digit);
    }
    if (i == text.size()) return kCutShort;
    if (i == first_digit || text[i] != ';') return 0;
    bool scalar = value >= 1 && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
    return scalar ? i + 1 : 0;
}

size_t whole_characters(std::string_view text, size_t max_bytes, bool whole_references) {
    size_t i = 0;
    while (i < text.size()) {
        size_t width = platform::sjis::is_lead_byte(text[i]) && i + 1 < text.size() ? 2 : 1;
        if (whole_references && text[i] == '&') {
            size_t reference = reference_length(text.substr(i));
            if (reference != 0 && reference != kCutShort) width = reference;
        }
        if (i + width > max_bytes) break;
        i += width;
    }
    return i;
}

std::optional<std::string> form_field(std::string_view body, std::string_view key, FieldRules rules) {
    size_t i = find_key(body, key);
    if (i == std::string_view::npos) return std::nullopt;
    // One byte beyond the bound tells whether the value was cut, and where
    // its last character ends (a reference's rest, when references count whole).
    const size_t decoded_max = rules.max_bytes + (rules.whole_references ? kLongestReference : 1);
    std::string value;
    while (i < body.size() && body[i] != '&' && value.size() < decoded_max) {
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
    if (value.size() > rules.max_bytes) value.resize(whole_characters(value, rules.max_bytes, rules.whole_references));
    return value;
}

}  // namespace board
