// How long this disk takes to make a small write durable, for reading the
// posting figures: a post can be no faster than the syncs it must wait for.
//
//   disk_sync DIR [ROUNDS]
//
// Prints the median and 90th percentile, in milliseconds, of:
//   replace  write a 200-byte work file, fdatasync it, rename it over its
//            target (the way the board replaces a file), without the
//            directory sync;
//   dirsync  fsync of the directory after such a rename;
//   inplace  overwrite 200 bytes inside a file that already has its blocks,
//            then fdatasync (no metadata to commit).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::perror(what);
        std::exit(1);
    }
}

void report(const char* name, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%s_p50_ms=%.3f %s_p90_ms=%.3f ", name, v[v.size() / 2], name, v[v.size() * 9 / 10]);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: disk_sync DIR [ROUNDS]\n", stderr);
        return 2;
    }
    std::string dir = argv[1];
    int rounds = argc > 2 ? std::atoi(argv[2]) : 300;
    std::string work = dir + "/sync_work.txt", target = dir + "/sync_target.txt", inplace = dir + "/sync_inplace.txt";
    std::string data(200, 'x');
    std::vector<double> replace, dirsync, overwrite;

    int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    check(d >= 0, "open directory");
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        int fd = ::open(work.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        check(fd >= 0, "open work file");
        check(::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()), "write");
        check(::fdatasync(fd) == 0, "fdatasync");
        ::close(fd);
        check(::rename(work.c_str(), target.c_str()) == 0, "rename");
        replace.push_back(ms_since(t0));
        t0 = Clock::now();
        check(::fsync(d) == 0, "fsync directory");
        dirsync.push_back(ms_since(t0));
    }

    int fd = ::open(inplace.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    check(fd >= 0, "open in-place file");
    std::string block(4096, 'y');
    check(::write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size()), "write");
    check(::fsync(fd) == 0 && ::fsync(d) == 0, "fsync");
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        check(::pwrite(fd, data.data(), data.size(), (i % 16) * 200) == static_cast<ssize_t>(data.size()), "pwrite");
        check(::fdatasync(fd) == 0, "fdatasync");
        overwrite.push_back(ms_since(t0));
    }
    ::close(fd);
    ::close(d);
    ::unlink(target.c_str());
    ::unlink(inplace.c_str());

    report("replace", replace);
    report("dirsync", dirsync);
    report("inplace", overwrite);
    std::printf("rounds=%d\n", rounds);
    return 0;
}
