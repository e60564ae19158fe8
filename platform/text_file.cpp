#include "platform/text_file.h"

#include <cstring>

#include "platform/fs.h"

namespace platform {

std::string stored_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

FileStatus TextReader::open(const std::string& path, LineEnds ends) {
    ends_ = ends;
    pos_ = 0;
    return read_file(path, bytes_);
}

void TextReader::open_bytes(std::string stored, LineEnds ends) {
    bytes_ = std::move(stored);
    ends_ = ends;
    pos_ = 0;
}

size_t TextReader::read_line(char* line, size_t size) {
    if (size == 0) return 0;
    size_t n = 0;
    const size_t end = bytes_.size();
    while (n + 1 < size && pos_ < end) {
        char c = bytes_[pos_++];
        if (c == '\r' && ends_ == LineEnds::Text && pos_ < end && bytes_[pos_] == '\n') c = bytes_[pos_++];
        line[n++] = c;
        if (c == '\n') break;
    }
    line[n] = '\0';
    return n;
}

bool RawReader::open(const std::string& path) {
    close();
    file_ = open_regular_for_reading(path, size_);
    position_ = 0;
    if (file_ == kNoReading) size_ = 0;
    return file_ != kNoReading;
}

void RawReader::close() {
    if (file_ != kNoReading) close_reading(file_);
    file_ = kNoReading;
    size_ = position_ = 0;
}

size_t RawReader::read(char* out, size_t n) {
    if (file_ == kNoReading || position_ >= size_) return 0;  // the end is known: no read call to find it
    // Never ask past the stored size: a read there would only see the end
    // already known.
    if (static_cast<unsigned long long>(size_ - position_) < n) n = static_cast<size_t>(size_ - position_);
    size_t got = 0;
    while (got < n) {
        size_t more = read_some(file_, out + got, n - got);
        if (more == 0) break;
        got += more;
    }
    position_ += static_cast<long long>(got);
    return got;
}

FileStatus TextWriter::open(const std::string& path, Mode mode) {
    text_.clear();
    return file_.open(path, mode);
}

FileStatus TextWriter::close() {
    std::string stored = stored_text(text_);
    text_.clear();
    FileStatus written = file_.write(stored.data(), stored.size());
    FileStatus closed = file_.close();
    return written.ok() ? closed : written;
}

void FileGroup::replace(std::string target, std::string work, std::string stored, Undo undo, std::string old) {
    files_.push_back(Entry{std::move(target), std::move(work), std::move(stored), std::move(old), undo});
}

FileStatus FileGroup::write_aside(const Entry& e, const std::string& bytes) {
    WriteHandle out;
    FileStatus s = out.open(e.work, WriteHandle::Mode::Truncate);
    if (s.ok()) s = out.write(bytes.data(), bytes.size());
    if (s.ok()) s = out.sync();
    FileStatus closed = out.close();
    if (s.ok()) s = closed;
    if (!s.ok()) failed_file_ = e.work;
    return s;
}

// Puts back the first `replaced` targets, newest first. A call that fails
// here is a second failure: what is left is what a crash would leave.
void FileGroup::put_back(size_t replaced) {
    for (size_t i = replaced; i-- > 0;) {
        const Entry& e = files_[i];
        if (e.undo == Undo::Remove) {
            remove_file(e.target);
        } else if (e.undo == Undo::Restore) {
            if (!write_aside(e, e.old).ok() || !replace_file(e.work, e.target).ok()) {
                remove_file(e.work);
                continue;
            }
        } else {
            continue;
        }
        sync_directory_of(e.target);
    }
}

FileStatus FileGroup::commit() {
    failed_file_.clear();
    for (size_t i = 0; i < files_.size(); ++i) {
        FileStatus s = write_aside(files_[i], files_[i].stored);
        if (!s.ok()) {
            for (size_t j = 0; j <= i; ++j) remove_file(files_[j].work);
            return s;
        }
    }
    for (size_t i = 0; i < files_.size(); ++i) {
        FileStatus s = replace_file(files_[i].work, files_[i].target);
        if (!s.ok()) {
            failed_file_ = files_[i].target;
            for (size_t j = i; j < files_.size(); ++j) remove_file(files_[j].work);
            put_back(i);
            return s;
        }
    }
    // Each folder once, in the order of its first file.
    std::vector<std::string> dirs;
    for (const Entry& e : files_) {
        std::string dir = e.target.substr(0, e.target.find_last_of('/') + 1);
        bool seen = false;
        for (const std::string& d : dirs) seen = seen || d == dir;
        if (seen) continue;
        dirs.push_back(dir);
        FileStatus s = sync_directory_of(e.target);
        if (!s.ok()) {
            failed_file_ = e.target;
            put_back(files_.size());
            return s;
        }
    }
    return {};
}

FileStatus AtomicFile::commit() {
    // The old bytes are kept to be put back when the folder's sync fails;
    // a file that exists but cannot be read is not written over.
    std::string old;
    FileStatus read = read_file(target_, old);
    if (read.failed()) {
        failed_file_ = target_;
        return read;
    }
    FileGroup group;
    group.replace(target_, work_, stored_text(text_), read.ok() ? FileGroup::Undo::Restore : FileGroup::Undo::Remove,
                  std::move(old));
    FileStatus s = group.commit();
    failed_file_ = group.failed_file();
    return s;
}

std::string work_name_for(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + "_work";
    return path.substr(0, dot) + "_work" + path.substr(dot);
}

}  // namespace platform
