// libFuzzer target: runs of requests through request dispatch against a
// board in a scratch directory (on /dev/shm when there is one, so that the
// board's synced writes cost little), checking the replies and every board
// file after each request.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "harness.h"

namespace {

std::string g_scratch;

void remove_scratch() {
    if (g_scratch.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(g_scratch, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = std::getenv("KOMOREBI_FUZZ_SCRATCH");
    std::string parent = base && *base ? base : (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    std::string templ = parent + "/komorebi-fuzz-XXXXXX";
    if (!::mkdtemp(templ.data()) || ::chdir(templ.c_str()) != 0) {
        std::perror("komorebi board fuzzer: scratch directory");
        std::exit(1);
    }
    g_scratch = templ;
    std::atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    komorebi_fuzz::run_board(data, size);
    return 0;
}
