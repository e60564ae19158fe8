#pragma once
// What the fuzz targets run on each input, shared with the regression tests
// that replay the seed corpus and every crash input under the GCC build.
//
// Each run checks its own results and calls the failure handler when a check
// fails. The fuzz targets keep the default handler (print and abort, which
// libFuzzer records as a crash); the regression tests install one that
// throws Failure.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace komorebi_fuzz {

struct Failure {
    std::string what;
};

using FailureHandler = void (*)(const std::string& what);
void set_failure_handler(FailureHandler handler);

// The request reading, form, cookie, session-line and path functions on one
// input, each compared with an independent reading of its documented rules.
void check_parsers(const std::uint8_t* data, size_t size);

// A run of requests through request dispatch against a board made afresh in
// DATA under the current directory (which it removes and rebuilds). The first
// byte chooses the board's starting state (see kPreset* in harness.cpp); the
// rest is split at kRequestSeparator into requests served one after another.
// After each request the reply and every board file are checked.
void run_board(const std::uint8_t* data, size_t size);

inline constexpr char kRequestSeparator[] = "\n#next#\n";

}  // namespace komorebi_fuzz
