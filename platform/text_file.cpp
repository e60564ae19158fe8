#include "platform/text_file.h"

#include <algorithm>
#include <cstring>

#include "platform/fs.h"

namespace platform {

std::string stored_text(std::string_view text) {
    // A page of a hundred messages is tens of kilobytes, rewritten at every
    // post: copied a line at a time, not a byte at a time.
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t at = 0; at < text.size();) {
        size_t lf = text.find('\n', at);
        if (lf == std::string_view::npos) {
            out.append(text.data() + at, text.size() - at);
            break;
        }
        out.append(text.data() + at, lf - at);
        out += "\r\n";
        at = lf + 1;
    }
    return out;
}

FileStatus TextReader::open(const std::string& path, LineEnds ends) {
    borrowed_ = {};
    ends_ = ends;
    pos_ = 0;
    return read_file(path, bytes_);
}

void TextReader::open_bytes(std::string stored, LineEnds ends) {
    bytes_ = std::move(stored);
    borrowed_ = {};
    ends_ = ends;
    pos_ = 0;
}

void TextReader::open_view(std::string_view stored, LineEnds ends) {
    bytes_.clear();
    // A view of nothing still reads as one (its data is not null).
    borrowed_ = stored.data() ? stored : std::string_view("", 0);
    ends_ = ends;
    pos_ = 0;
}

size_t TextReader::read_line(char* line, size_t size) {
    if (size == 0) return 0;
    const std::string_view bytes = text();
    const size_t end = bytes.size();
    const char* from = bytes.data() + pos_;
    // At most size - 1 bytes, up to and with the first line feed; in text
    // mode a CR LF gives one line feed. Only a line's end can be a CR LF, so
    // the bytes before it are copied as they are.
    size_t limit = std::min(size - 1, end - pos_);
    const void* lf = std::memchr(from, '\n', limit);
    size_t n = lf ? static_cast<size_t>(static_cast<const char*>(lf) - from) + 1 : limit;
    std::memcpy(line, from, n);
    pos_ += n;
    if (ends_ == LineEnds::Text && n > 0) {
        if (lf && n >= 2 && line[n - 2] == '\r') {
            line[n - 2] = '\n';
            n -= 1;
        } else if (!lf && line[n - 1] == '\r' && pos_ < end && bytes[pos_] == '\n') {
            line[n - 1] = '\n';  // the CR took the last place; its LF follows
            pos_ += 1;
        }
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

void FileGroup::barrier() {
    if (!files_.empty() && (barriers_.empty() || barriers_.back() != files_.size())) barriers_.push_back(files_.size());
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
    // The owner is told of the call that failed first, not of a put-back's.
    const std::string first_failure = failed_file_;
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
    failed_file_ = first_failure;
}

FileStatus FileGroup::commit() {
    // Counted once every rename and put-back of the group is done.
    struct CountWhenDone {
        ~CountWhenDone() { files_changed.fetch_add(1, std::memory_order_release); }
    } count;
    failed_file_.clear();
    // Every work file is written and on its way to the disk before the first
    // sync waits: the syncs then wait on writes under way together, not one
    // after another.
    std::vector<WriteHandle> out(files_.size());
    auto drop_work_files = [&](size_t written, const std::string& failed) {
        failed_file_ = failed;
        for (size_t j = 0; j < written; ++j) {
            out[j].close();
            remove_file(files_[j].work);
        }
    };
    for (size_t i = 0; i < files_.size(); ++i) {
        FileStatus s = out[i].open(files_[i].work, WriteHandle::Mode::Truncate);
        if (s.ok()) s = out[i].write(files_[i].stored.data(), files_[i].stored.size());
        if (!s.ok()) {
            drop_work_files(i + 1, files_[i].work);
            return s;
        }
        out[i].start_writing_out();
    }
    for (size_t i = 0; i < files_.size(); ++i) {
        FileStatus s = out[i].sync();
        FileStatus closed = out[i].close();
        if (s.ok()) s = closed;
        if (!s.ok()) {
            drop_work_files(files_.size(), files_[i].work);
            return s;
        }
    }
    // Step by step: the step's renames, then its folders' syncs.
    std::vector<size_t> ends = barriers_;
    ends.push_back(files_.size());
    size_t begin = 0;
    for (size_t end : ends) {
        for (size_t i = begin; i < end; ++i) {
            FileStatus s = replace_file(files_[i].work, files_[i].target);
            if (!s.ok()) {
                failed_file_ = files_[i].target;
                for (size_t j = i; j < files_.size(); ++j) remove_file(files_[j].work);
                put_back(i);
                return s;
            }
        }
        FileStatus s = sync_folders(begin, end);
        if (!s.ok()) {
            for (size_t j = end; j < files_.size(); ++j) remove_file(files_[j].work);
            put_back(end);
            return s;
        }
        begin = end;
    }
    return {};
}

// The folders of the targets begin..end, each once, in the order of its first file.
FileStatus FileGroup::sync_folders(size_t begin, size_t end) {
    std::vector<std::string> dirs;
    for (size_t i = begin; i < end; ++i) {
        const Entry& e = files_[i];
        std::string dir = e.target.substr(0, e.target.find_last_of('/') + 1);
        bool seen = false;
        for (const std::string& d : dirs) seen = seen || d == dir;
        if (seen) continue;
        dirs.push_back(dir);
        FileStatus s = sync_directory_of(e.target);
        if (!s.ok()) {
            failed_file_ = e.target;
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
