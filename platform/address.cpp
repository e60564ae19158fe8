// Address texts, the same on every system: parsed and written here rather
// than by inet_pton and inet_ntop, whose IPv6 forms differ between systems
// (and which want the sockets library started on Windows), so that an
// address is stored and compared as the same bytes everywhere.
#include <cstdio>

#include "platform/net.h"

namespace platform::net {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four decimal parts of 0 to 255 without leading zeros, as inet_pton takes them.
bool parse_ipv4(std::string_view text, std::uint8_t* out) {
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
        size_t start = i;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) value = value * 10 + (text[i++] - '0');
        size_t digits = i - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
        out[part] = static_cast<std::uint8_t>(value);
    }
    return i == text.size();
}

bool is_ipv4_mapped(const Ipv6Bytes& a) {
    for (int i = 0; i < 10; ++i)
        if (a[i] != 0) return false;
    return a[10] == 0xFF && a[11] == 0xFF;
}

}  // namespace

bool parse_ipv6(std::string_view text, Ipv6Bytes& out) {
    // Groups before and after the "::" (if any); the last part may be an IPv4 address.
    std::uint16_t head[8], tail[8];
    int heads = 0, tails = 0;
    bool gap = false;
    size_t i = 0;
    if (text.size() >= 2 && text[0] == ':' && text[1] == ':') {
        gap = true;
        i = 2;
    } else if (!text.empty() && text[0] == ':') {
        return false;
    }
    while (i < text.size()) {
        std::uint16_t* groups = gap ? tail : head;
        int& count = gap ? tails : heads;
        if (heads + tails >= 8) return false;
        size_t start = i;
        unsigned value = 0;
        while (i < text.size() && hex_value(text[i]) >= 0 && i - start < 4) value = value * 16 + hex_value(text[i++]);
        if (i < text.size() && text[i] == '.') {
            // A dotted IPv4 part ends the address and takes two groups.
            std::uint8_t v4[4];
            if (heads + tails > 6 || !parse_ipv4(text.substr(start), v4)) return false;
            groups[count++] = static_cast<std::uint16_t>(v4[0] << 8 | v4[1]);
            groups[count++] = static_cast<std::uint16_t>(v4[2] << 8 | v4[3]);
            i = text.size();
            break;
        }
        if (i == start) return false;
        groups[count++] = static_cast<std::uint16_t>(value);
        if (i == text.size()) break;
        if (text[i] != ':') return false;
        ++i;
        if (i < text.size() && text[i] == ':') {
            if (gap) return false;
            gap = true;
            ++i;
        } else if (i == text.size()) {
            return false;  // a single ':' at the end
        }
    }
    if (gap ? heads + tails > 7 : heads != 8) return false;
    out.fill(0);
    for (int g = 0; g < heads; ++g) {
        out[2 * g] = static_cast<std::uint8_t>(head[g] >> 8);
        out[2 * g + 1] = static_cast<std::uint8_t>(head[g]);
    }
    for (int g = 0; g < tails; ++g) {
        int at = 8 - tails + g;
        out[2 * at] = static_cast<std::uint8_t>(tail[g] >> 8);
        out[2 * at + 1] = static_cast<std::uint8_t>(tail[g]);
    }
    return true;
}

// RFC 5952: lower-case hex without leading zeros, the longest run of two or
// more zero groups (the first of equal ones) as "::".
std::string ipv6_text(const Ipv6Bytes& a) {
    char text[8];
    if (is_ipv4_mapped(a)) {
        std::snprintf(text, sizeof text, "%u", a[12]);
        std::string v4 = text;
        for (int i = 13; i < 16; ++i) {
            std::snprintf(text, sizeof text, ".%u", a[i]);
            v4 += text;
        }
        return v4;
    }
    unsigned groups[8];
    for (int g = 0; g < 8; ++g) groups[g] = static_cast<unsigned>(a[2 * g] << 8 | a[2 * g + 1]);
    int best = -1, best_length = 1;
    for (int g = 0; g < 8;) {
        int length = 0;
        while (g + length < 8 && groups[g + length] == 0) ++length;
        if (length > best_length) {
            best = g;
            best_length = length;
        }
        g += length ? length : 1;
    }
    std::string out;
    for (int g = 0; g < 8; ++g) {
        if (g == best) {
            out += "::";
            g += best_length - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':') out += ':';
        std::snprintf(text, sizeof text, "%x", groups[g]);
        out += text;
    }
    return out;
}

std::optional<std::string> address_text(std::string_view text) {
    std::uint8_t v4[4];
    if (parse_ipv4(text, v4)) return std::string(text);
    Ipv6Bytes v6;
    if (parse_ipv6(text, v6)) return ipv6_text(v6);
    return std::nullopt;
}

bool is_global_ipv6(const std::string& text) {
    Ipv6Bytes a;
    return text.find(':') != std::string::npos && parse_ipv6(text, a) && (a[0] & 0xE0) == 0x20;
}

std::optional<std::string> choose_global_ipv6(const std::vector<Ipv6Candidate>& candidates) {
    const Ipv6Candidate* temporary = nullptr;
    for (const Ipv6Candidate& c : candidates) {
        if (!is_global_ipv6(c.text)) continue;
        if (!c.temporary) return c.text;
        if (!temporary) temporary = &c;
    }
    if (temporary) return temporary->text;
    return std::nullopt;
}

std::string url_host(const std::string& address) {
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

}  // namespace platform::net
