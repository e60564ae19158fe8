#include "window/options.h"

#include "platform/net.h"

namespace window {

std::optional<std::uint16_t> parse_port_text(const std::string& text) {
    auto byte = [&](size_t at) { return at < text.size() ? static_cast<unsigned char>(text[at]) : 0u; };
    // The Shift_JIS characters lead, then low to high, at at.
    auto double_byte = [&](size_t at, unsigned lead, unsigned low, unsigned high) {
        return byte(at) == lead && byte(at + 1) >= low && byte(at + 1) <= high;
    };
    size_t at = 0, end = text.size();
    for (;;) {  // blanks before: " ", tab, "　" (81 40)
        if (byte(at) == ' ' || byte(at) == '\t') ++at;
        else if (double_byte(at, 0x81, 0x40, 0x40)) at += 2;
        else break;
    }
    for (;;) {  // and after
        if (end > at && (byte(end - 1) == ' ' || byte(end - 1) == '\t')) --end;
        else if (end >= at + 2 && double_byte(end - 2, 0x81, 0x40, 0x40)) end -= 2;
        else break;
    }
    long value = 0;
    if (at == end) return std::nullopt;
    while (at < end) {
        int digit;
        if (byte(at) >= '0' && byte(at) <= '9') {
            digit = static_cast<int>(byte(at) - '0');
            at += 1;
        } else if (double_byte(at, 0x82, 0x4F, 0x58)) {  // "０" to "９"
            digit = static_cast<int>(byte(at + 1) - 0x4F);
            at += 2;
        } else {
            return std::nullopt;
        }
        value = value * 10 + digit;
        if (value > 65535) return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

Options parse_options(const std::vector<std::string>& args) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                o.error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--bind") {
            if (!value(v)) return o;
            auto address = platform::net::address_text(v);
            if (!address) {
                o.error = "--bind needs an IPv4 or IPv6 address such as 127.0.0.1 or ::1";
                return o;
            }
            o.bind = *address;
        } else if (a == "--proxy") {
            if (!value(v)) return o;
            auto address = platform::net::address_text(v);
            if (!address) {
                o.error = "--proxy needs the IPv4 or IPv6 address the proxy connects from, such as 127.0.0.1";
                return o;
            }
            o.proxy = *address;
        } else if (a == "--notify") {
            if (!value(v)) return o;
            o.notify = v;  // empty: no program for this run
        } else if (a == "--port") {
            if (!value(v)) return o;
            o.port = parse_port_text(v);
            if (!o.port) {
                o.error = "--port needs a number from 0 to 65535";
                return o;
            }
        } else if (a == "--dir") {
            if (!value(v)) return o;
            o.dir = v;
        } else if (a == "--start") {
            o.start = true;
        } else if (a == "--private") {
            o.private_reading = true;
        } else if (a == "--upnp") {
            o.upnp = true;
        } else if (a == "--no-console") {
            o.no_console = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else {
            o.error = "unknown option " + a;
            return o;
        }
    }
    return o;
}

const char* usage_text() {
    return "Usage: komorebi [options]\n"
           "  --bind ADDRESS  listen on ADDRESS (127.0.0.1, 0.0.0.0, ::1, :: for IPv6 and IPv4, ...) instead of\n"
           "                  the host's own address\n"
           "  --port N        listen on port N (default 53790)\n"
           "  --dir DIR       keep the board's DATA directory in DIR\n"
           "  --start         start the server at launch\n"
           "  --private       only visitors who logged in read the board (for this run)\n"
           "  --proxy ADDRESS believe X-Forwarded-For/-Proto only from ADDRESS, the TLS proxy (for this run)\n"
           "  --notify PROGRAM run PROGRAM for each new message (for this run; \"\" for none)\n"
           "  --upnp          ask the home router to open the port to the board (for this run)\n"
           "  --no-console    read no commands; serve until SIGINT or SIGTERM\n"
           "  --version       show the version\n"
           "  --help          show this text\n";
}

}  // namespace window
