// The fuzz targets' seed corpora and every input the fuzzer found a fault
// with (fuzz/regressions), run through the same checks in the GCC build, so
// that `make test` and the sanitizer build keep them passing.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

void throw_failure(const std::string& what) { throw komorebi_fuzz::Failure{what}; }

std::vector<fs::path> inputs(const std::string& target) {
    std::vector<fs::path> files;
    for (const char* kind : {"corpus", "regressions"}) {
        fs::path dir = fs::path(KOMOREBI_FUZZ_DIR) / kind / target;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir, ec))
            if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string bytes_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class Run>
void run_each(const std::string& target, Run run) {
    komorebi_fuzz::set_failure_handler(throw_failure);
    std::vector<fs::path> files = inputs(target);
    ASSERT_FALSE(files.empty()) << "no inputs for " << target << " under " << KOMOREBI_FUZZ_DIR;
    for (const fs::path& file : files) {
        std::string data = bytes_of(file);
        try {
            run(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
        } catch (const komorebi_fuzz::Failure& f) {
            ADD_FAILURE() << file << ": " << f.what;
        }
    }
    komorebi_fuzz::set_failure_handler(nullptr);
}

class FuzzInputs : public testing_support::TempDirTest {};

TEST_F(FuzzInputs, ParseTargetInputsPassTheirChecks) { run_each("parse", komorebi_fuzz::check_parsers); }

TEST_F(FuzzInputs, BoardTargetInputsPassTheirChecks) { run_each("board", komorebi_fuzz::run_board); }

// The board runs really post: the seed that starts a new page leaves its
// files behind as the checks saw them.
TEST_F(FuzzInputs, BoardSeedPostsOnANewPage) {
    komorebi_fuzz::set_failure_handler(throw_failure);
    std::string data = bytes_of(fs::path(KOMOREBI_FUZZ_DIR) / "corpus" / "board" / "new_page");
    ASSERT_FALSE(data.empty());
    try {
        komorebi_fuzz::run_board(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    } catch (const komorebi_fuzz::Failure& f) {
        FAIL() << f.what;
    }
    komorebi_fuzz::set_failure_handler(nullptr);
    EXPECT_EQ(testing_support::read_file("DATA/MESSAGE/0.ini"), "message=2\r\npage=2\r\n");
    std::string page = testing_support::read_file("DATA/HTML/wbk_text_2.html");
    size_t blocks = 0;
    for (size_t at = page.find("<hr>\r\n"); at != std::string::npos; at = page.find("<hr>\r\n", at + 1)) ++blocks;
    EXPECT_EQ(blocks, 2u);
    EXPECT_NE(testing_support::read_file("DATA/HTML/wbk_menu.html").find("wbk_select_2.cgi"), std::string::npos);
}

}  // namespace
