#pragma once
// Every narrow literal of this program is Shift_JIS (code page 932): the build
// compiles UTF-8 sources with -fexec-charset=CP932. If a compiler or a build
// without that flag turns them into UTF-8 instead, stop here rather than serve
// pages whose bytes are wrong. In Shift_JIS this character is two bytes.
static_assert(sizeof("表") == 3 && "表"[0] == '\x95' && "表"[1] == '\x5C',
              "narrow string literals must be compiled to Shift_JIS (-fexec-charset=CP932)");

namespace platform::sjis {

// A byte that begins a double-byte character (81-9F, E0-FC).
constexpr bool is_lead_byte(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 0x81 && u <= 0x9F) || (u >= 0xE0 && u <= 0xFC);
}

// A byte that can end one (40-FC but 7F).
constexpr bool is_second_byte(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x40 && u <= 0xFC && u != 0x7F;
}

}  // namespace platform::sjis
