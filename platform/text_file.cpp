#include "platform/text_file.h"

#include <cstring>

#include "platform/fs.h"

namespace platform {

bool TextReader::open(const std::string& path, LineEnds ends) {
    close();
    file_ = open_for_reading(path);
    if (file_ && regular_file_size(file_) < 0) close();
    ends_ = ends;
    pos_ = len_ = 0;
    return file_ != nullptr;
}

void TextReader::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    pos_ = len_ = 0;
}

void TextReader::rewind() {
    if (file_) std::rewind(file_);
    pos_ = len_ = 0;
}

bool TextReader::fill() {
    if (pos_ < len_) return true;
    if (!file_) return false;
    len_ = std::fread(buf_, 1, sizeof buf_, file_);
    pos_ = 0;
    return len_ > 0;
}

int TextReader::get() {
    if (!fill()) return EOF;
    return static_cast<unsigned char>(buf_[pos_++]);
}

int TextReader::peek() {
    if (!fill()) return EOF;
    return static_cast<unsigned char>(buf_[pos_]);
}

size_t TextReader::read_line(char* line, size_t size) {
    if (size == 0) return 0;
    size_t n = 0;
    while (n + 1 < size) {
        int c = get();
        if (c == EOF) break;
        if (c == '\r' && ends_ == LineEnds::Text && peek() == '\n') c = get();
        line[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line[n] = '\0';
    return n;
}

bool RawReader::open(const std::string& path) {
    close();
    file_ = open_for_reading(path);
    if (!file_) return false;
    size_ = regular_file_size(file_);
    if (size_ < 0) {
        close();
        return false;
    }
    std::setvbuf(file_, nullptr, _IONBF, 0);
    position_ = 0;
    return true;
}

void RawReader::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    size_ = position_ = 0;
}

size_t RawReader::read(char* out, size_t n) {
    if (!file_ || position_ >= size_) return 0;  // the end is known: no read call to find it
    // Never ask past the stored size: a read that reaches the end would make
    // the run-time read once more to see the end it already knows.
    if (static_cast<unsigned long long>(size_ - position_) < n) n = static_cast<size_t>(size_ - position_);
    size_t got = std::fread(out, 1, n, file_);
    position_ += static_cast<long long>(got);
    return got;
}

bool TextWriter::open(const std::string& path, Mode mode) {
    close();
    failed_ = false;
    file_ = std::fopen(path.c_str(), mode == Mode::Truncate ? "wb" : "ab");
    return file_ != nullptr;
}

void TextWriter::write(const char* data, size_t n) {
    if (!file_) return;
    const char* end = data + n;
    while (data < end) {
        const char* lf = static_cast<const char*>(std::memchr(data, '\n', end - data));
        size_t run = (lf ? lf : end) - data;
        if (run && std::fwrite(data, 1, run, file_) != run) failed_ = true;
        if (!lf) break;
        if (std::fwrite("\r\n", 1, 2, file_) != 2) failed_ = true;
        data = lf + 1;
    }
}

bool TextWriter::sync() {
    if (!file_) return false;
    if (std::fflush(file_) != 0) failed_ = true;
    if (!sync_file(file_)) failed_ = true;
    return !failed_;
}

bool TextWriter::close() {
    if (!file_) return !failed_;
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
}

AtomicFile::AtomicFile(std::string target, std::string work)
    : target_(std::move(target)), work_(std::move(work)) {
    out_.open(work_, TextWriter::Mode::Truncate);
}

AtomicFile::~AtomicFile() {
    if (!done_ && out_.is_open()) {
        out_.close();
        remove_file(work_);
    }
}

bool AtomicFile::commit() {
    if (done_ || !out_.is_open()) return false;
    done_ = true;
    bool ok = out_.sync();
    ok = out_.close() && ok;
    if (ok) ok = replace_file(work_, target_);
    if (!ok) {
        remove_file(work_);
        return false;
    }
    if (DirectorySyncBatch* batch = DirectorySyncBatch::current())
        batch->add(target_);
    else
        sync_directory_of(target_);
    return true;
}

namespace {
thread_local DirectorySyncBatch* current_batch = nullptr;

std::string directory_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}
}  // namespace

DirectorySyncBatch::DirectorySyncBatch() : outer_(current_batch) { current_batch = this; }

DirectorySyncBatch::~DirectorySyncBatch() {
    flush();
    current_batch = outer_;
}

DirectorySyncBatch* DirectorySyncBatch::current() { return current_batch; }

// dirs_ keeps one file path per directory that waits for its sync.
void DirectorySyncBatch::add(const std::string& path) {
    std::string dir = directory_of(path);
    for (const std::string& waiting : dirs_)
        if (directory_of(waiting) == dir) return;
    dirs_.push_back(path);
}

void DirectorySyncBatch::flush() {
    for (const std::string& path : dirs_) sync_directory_of(path);
    dirs_.clear();
}

std::string work_name_for(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + "_work";
    return path.substr(0, dot) + "_work" + path.substr(dot);
}

}  // namespace platform
