#include "window/options.h"

#include <cstdlib>

#include "platform/net.h"

namespace window {

PortText read_port_text(const std::string& text) {
    PortText p;
    p.value = std::atol(text.substr(0, 5).c_str());
    p.whole = !text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string::npos;
    return p;
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
            if (!platform::net::is_ipv4_text(v)) {
                o.error = "--bind needs an IPv4 address such as 127.0.0.1";
                return o;
            }
            o.bind = v;
        } else if (a == "--port") {
            if (!value(v)) return o;
            PortText port = read_port_text(v);
            if (!port.whole || port.value > 65535) {
                o.error = "--port needs a number from 0 to 65535";
                return o;
            }
            o.port = static_cast<std::uint16_t>(port.value);
        } else if (a == "--dir") {
            if (!value(v)) return o;
            o.dir = v;
        } else if (a == "--start") {
            o.start = true;
        } else if (a == "--no-console") {
            o.no_console = true;
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
           "  --bind ADDRESS  listen on ADDRESS (127.0.0.1, 0.0.0.0, ...) instead of the host's own address\n"
           "  --port N        listen on port N (default 53790)\n"
           "  --dir DIR       keep the board's DATA directory in DIR\n"
           "  --start         start the server at launch\n"
           "  --no-console    read no commands; serve until SIGINT or SIGTERM\n"
           "  --help          show this text\n";
}

}  // namespace window
