#pragma once
// A request that cannot go on (a file it needs cannot be opened or created)
// throws this; the board's request entry catches it and answers with the error page.
// Every raiser does so before any byte of a reply has been sent.
#include <stdexcept>
#include <string>

namespace board {

struct RequestFailure : std::runtime_error {
    explicit RequestFailure(const std::string& what) : std::runtime_error(what) {}
};

[[noreturn]] inline void fail_request(const std::string& what) { throw RequestFailure(what); }

}  // namespace board
