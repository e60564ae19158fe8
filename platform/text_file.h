#pragma once
// Files read and written the way the Windows run-time's text mode does it, on
// every host: a line feed written is stored as CR LF (also after a CR); CR LF
// read back is one line feed; a lone CR stays. Lines are read in fixed-size
// pieces exactly like fgets.
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sjis.h"

namespace platform {

enum class LineEnds { Text, Binary };

class TextReader {
public:
    TextReader() = default;
    explicit TextReader(const std::string& path, LineEnds ends = LineEnds::Text) { open(path, ends); }
    ~TextReader() { close(); }
    TextReader(const TextReader&) = delete;
    TextReader& operator=(const TextReader&) = delete;

    bool open(const std::string& path, LineEnds ends = LineEnds::Text);
    bool is_open() const { return file_ != nullptr; }
    void close();
    void rewind();

    // Like fgets(line, size, file): reads at most size - 1 bytes, stopping after
    // a line feed, and ends them with a zero byte. Returns the number of bytes
    // read; 0 means the end of the file.
    size_t read_line(char* line, size_t size);

private:
    bool fill();
    int get();
    int peek();

    std::FILE* file_ = nullptr;
    LineEnds ends_ = LineEnds::Text;
    size_t pos_ = 0;
    size_t len_ = 0;
    char buf_[16384];
};

// Reads a file as stored bytes, for sending and comparing.
class RawReader {
public:
    RawReader() = default;
    ~RawReader() { close(); }
    RawReader(RawReader&& other) noexcept { *this = std::move(other); }
    RawReader& operator=(RawReader&& other) noexcept {
        std::swap(file_, other.file_);
        std::swap(size_, other.size_);
        std::swap(position_, other.position_);
        return *this;
    }

    // Opens only regular files (checked on the opened file, which is opened
    // without waiting): a directory, FIFO or device is not a file to send. Reads go
    // straight to the file, without a second buffer. Files are replaced by
    // rename, never rewritten in place, so an open file keeps its size.
    bool open(const std::string& path);
    bool is_open() const { return file_ != nullptr; }
    void close();
    long long size() const { return size_; }  // the stored size when it was opened
    size_t read(char* out, size_t n);

private:
    std::FILE* file_ = nullptr;
    long long size_ = 0;
    long long position_ = 0;
};

class TextWriter {
public:
    enum class Mode { Truncate, Append };
    TextWriter() = default;
    ~TextWriter() { close(); }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    bool open(const std::string& path, Mode mode);
    bool is_open() const { return file_ != nullptr; }
    void write(const char* data, size_t n);
    void write(std::string_view s) { write(s.data(), s.size()); }
    // Pushes everything to the operating system and then to the disk.
    bool sync();
    // Closes the file; false when any write failed.
    bool close();
    bool failed() const { return failed_; }

private:
    std::FILE* file_ = nullptr;
    bool failed_ = false;
};

// A file written whole beside its target and then moved over it in one
// atomic step, after its bytes have reached the disk. Until commit the target
// is untouched; a writer that is dropped without commit removes its work file.
class AtomicFile {
public:
    AtomicFile(std::string target, std::string work);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool ok() const { return out_.is_open(); }
    TextWriter& out() { return out_; }
    // Write, flush, sync, rename over the target, sync the directory.
    // False (and the target unchanged) when any step failed.
    bool commit();

private:
    std::string target_;
    std::string work_;
    TextWriter out_;
    bool done_ = false;
};

// While a batch is open on a thread, the directory syncs that make its
// committed renames durable wait in it, and each directory is synced once
// when the batch is flushed: a request that replaces three files in two
// directories syncs two directories, not three times. The request flushes
// before its reply goes out, so nothing is acknowledged before it is durable.
class DirectorySyncBatch {
public:
    DirectorySyncBatch();
    ~DirectorySyncBatch();  // flushes
    DirectorySyncBatch(const DirectorySyncBatch&) = delete;
    DirectorySyncBatch& operator=(const DirectorySyncBatch&) = delete;

    void flush();
    // The innermost open batch of this thread, if any.
    static DirectorySyncBatch* current();
    void add(const std::string& path);

private:
    std::vector<std::string> dirs_;
    DirectorySyncBatch* outer_;
};

// The work file beside a file written whole: "DATA/MESSAGE/0.ini" gives
// "DATA/MESSAGE/0_work.ini".
std::string work_name_for(const std::string& path);

}  // namespace platform
