// The file stream of the save path (buffered, every write and the close checked) and the
// memory stream.
#include "imageio/stream.h"

#include "imageio/errors.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

constexpr size_t kBufferSize = 64 * 1024;

bool WriteAll(int fd, const uint8_t* data, size_t count, int64_t offset) {
    while (count > 0) {
        const ssize_t n = pwrite(fd, data, count, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        count -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

}  // namespace

std::string AbsolutePathText(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

TIOWideFileStream::TIOWideFileStream(const std::string& path, int mode) {
    (void)mode;  // the only mode: create, or truncate an existing file, for writing
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd_ < 0) {
        const int error = errno;
        throw EIOFileCreateError("Cannot create file \"" + AbsolutePathText(path) + "\". " + std::strerror(error));
    }
    buffer_.reserve(kBufferSize);
}

TIOWideFileStream::~TIOWideFileStream() {
    if (fd_ >= 0) Close();
}

bool TIOWideFileStream::Flush() {
    if (buffer_.empty()) return !failed_;
    if (!failed_ && !WriteAll(fd_, buffer_.data(), buffer_.size(), bufferStart_)) failed_ = true;
    bufferStart_ += static_cast<int64_t>(buffer_.size());
    buffer_.clear();
    return !failed_;
}

size_t TIOWideFileStream::Write(const void* data, size_t count) {
    if (failed_ || fd_ < 0) return 0;
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (buffer_.size() + count > kBufferSize) {
        if (!Flush()) return 0;
        if (count >= kBufferSize) {
            if (!WriteAll(fd_, bytes, count, position_)) {
                failed_ = true;
                return 0;
            }
            position_ += static_cast<int64_t>(count);
            bufferStart_ = position_;
            size_ = std::max(size_, position_);
            return count;
        }
    }
    buffer_.insert(buffer_.end(), bytes, bytes + count);
    position_ += static_cast<int64_t>(count);
    size_ = std::max(size_, position_);
    return count;
}

bool TIOWideFileStream::Seek(int64_t position) {
    if (fd_ < 0 || position < 0) return false;
    if (!Flush()) return false;
    position_ = position;
    bufferStart_ = position;
    return true;
}

bool TIOWideFileStream::Close() {
    if (fd_ < 0) return !failed_;
    Flush();
    if (close(fd_) != 0) failed_ = true;
    fd_ = -1;
    return !failed_;
}

size_t TIOMemoryStream::Write(const void* data, size_t count) {
    const size_t room = written_ >= failAfter_ ? 0 : failAfter_ - written_;
    const size_t accepted = std::min(count, room);
    if (position_ + accepted > data_.size()) data_.resize(position_ + accepted);
    if (accepted > 0) std::memcpy(data_.data() + position_, data, accepted);
    position_ += accepted;
    written_ += accepted;
    return accepted;
}

bool TIOMemoryStream::Seek(int64_t position) {
    if (position < 0 || static_cast<size_t>(position) > data_.size()) return false;
    position_ = static_cast<size_t>(position);
    return true;
}
