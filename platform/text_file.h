#pragma once
// Files read and written the way the Windows run-time's text mode does it, on
// every host: a line feed written is stored as CR LF (also after a CR); CR LF
// read back is one line feed; a lone CR stays. Lines are read in fixed-size
// pieces exactly like fgets.
//
// The board's files are small, so they are read whole and written whole: a
// reader has either the whole file or a failure, never a piece of it taken
// for the end, and a writer replaces a file only with a text written whole
// beside it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/sjis.h"

namespace platform {

enum class LineEnds { Text, Binary };

// The stored form of a text: every line feed as CR LF.
std::string stored_text(std::string_view text);

class TextReader {
public:
    TextReader() = default;

    // Reads the file whole. Missing and Failed leave the reader empty.
    FileStatus open(const std::string& path, LineEnds ends = LineEnds::Text);
    // Lines of bytes already in memory, as stored.
    void open_bytes(std::string stored, LineEnds ends = LineEnds::Text);
    // The same without a copy: stored must outlive the reading.
    void open_view(std::string_view stored, LineEnds ends = LineEnds::Text);
    void rewind() { pos_ = 0; }
    // The file as stored (after open or open_bytes).
    const std::string& stored() const { return bytes_; }

    // Like fgets(line, size, file): reads at most size - 1 bytes, stopping after
    // a line feed, and ends them with a zero byte. Returns the number of bytes
    // read; 0 means the end of the file (a read error failed the open).
    size_t read_line(char* line, size_t size);

private:
    std::string_view text() const { return borrowed_.data() ? borrowed_ : std::string_view(bytes_); }

    std::string bytes_;
    std::string_view borrowed_;  // open_view's bytes, read instead of bytes_
    LineEnds ends_ = LineEnds::Text;
    size_t pos_ = 0;
};

// Reads a file as stored bytes, for sending a file that no one rewrites
// (pictures and the like) as the connection drains.
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
    bool is_open() const { return file_ != kNoReading; }
    void close();
    long long size() const { return size_; }  // the stored size when it was opened
    size_t read(char* out, size_t n);

private:
    std::intptr_t file_ = kNoReading;  // the system's handle (fs.h)
    long long size_ = 0;
    long long position_ = 0;
};

// Appends (or writes) a text file in one write at close: the login log.
class TextWriter {
public:
    using Mode = WriteHandle::Mode;
    FileStatus open(const std::string& path, Mode mode);
    void write(std::string_view s) { text_ += s; }
    // Writes what was given, as stored text, and closes the file.
    FileStatus close();

private:
    WriteHandle file_;
    std::string text_;
};

// How many file groups this process has committed, counted when each
// commit ends whatever its outcome: a file read whole when this was n is
// still as it was read while this is n, unless something else changed it.
inline std::atomic<std::uint64_t> files_changed{0};

// Files replaced together. Each new text is written beside its target and
// synced; then the targets are replaced one by one, in the order they were
// given, and their folders synced. A failure at any step puts back every
// target already replaced (its old bytes, or no file where there was none)
// and removes the work files, so that the group takes effect whole or not
// at all.
//
// A rename reaches the disk only once its folder is synced, and renames not
// yet synced may reach it in any order (also two in one folder): a power
// cut may keep a later one and lose an earlier one. So a group is cut into
// steps at its barriers: the targets of one step are renamed, then their
// folders synced, and only then is the next step's first target renamed. A
// power cut thus keeps every step before the one it hit whole and nothing
// of the steps after it; within that step, any of its renames. The board
// puts a barrier wherever its start's repair needs the order (before a
// post's counters file, whose rename makes the post count), and the repair
// makes the files of a step cut part-way agree.
class FileGroup {
public:
    enum class Undo {
        Keep,     // a failure later leaves the new file (nothing refers to it yet)
        Restore,  // a failure later puts the old bytes back
        Remove,   // a failure later removes the file: there was none
    };
    // stored: the new bytes as stored (see stored_text); old: the bytes to put back.
    void replace(std::string target, std::string work, std::string stored, Undo undo, std::string old = {});
    // The files given so far are replaced and on the disk, folders synced,
    // before any given after this is replaced.
    void barrier();
    bool empty() const { return files_.empty(); }
    FileStatus commit();
    // The file whose call failed (a work file while writing, a target while replacing).
    const std::string& failed_file() const { return failed_file_; }

private:
    struct Entry {
        std::string target, work, stored, old;
        Undo undo;
    };
    FileStatus write_aside(const Entry& e, const std::string& bytes);
    void put_back(size_t replaced);
    FileStatus sync_folders(size_t begin, size_t end);
    std::vector<Entry> files_;
    std::vector<size_t> barriers_;  // the number of files given before each barrier
    std::string failed_file_;
};

// One file written whole beside its target and moved over it once it is on
// the disk (a group of one, whose old bytes are put back on a failure).
class AtomicFile {
public:
    AtomicFile(std::string target, std::string work) : target_(std::move(target)), work_(std::move(work)) {}
    void write(std::string_view text) { text_ += text; }
    FileStatus commit();
    const std::string& failed_file() const { return failed_file_; }

private:
    std::string target_, work_, text_, failed_file_;
};

// The work file beside a file written whole: "DATA/MESSAGE/0.ini" gives
// "DATA/MESSAGE/0_work.ini".
std::string work_name_for(const std::string& path);

}  // namespace platform
