// Output streams the writers write to: the file stream of the save path and a memory stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TIOStream {
public:
    virtual ~TIOStream() = default;
    // Writes `count` bytes at the current position; returns how many were accepted. Fewer than
    // `count` means the stream failed (a full disk, a closed pipe); the writers then set the
    // abort flag.
    virtual size_t Write(const void* data, size_t count) = 0;
    virtual int64_t Position() const = 0;
    // Moves the position; false when the stream cannot seek there.
    virtual bool Seek(int64_t position) = 0;
    virtual int64_t Size() const = 0;
};

// A file created (or truncated) for writing. Writes are buffered; a failure is sticky, so every
// later write reports nothing accepted, and Close() reports it too.
class TIOWideFileStream : public TIOStream {
public:
    static constexpr int kCreate = 0xFFFF;
    // Creates or truncates `path`. Throws EIOFileCreateError "Cannot create file "%s". %s".
    TIOWideFileStream(const std::string& path, int mode);
    ~TIOWideFileStream() override;
    TIOWideFileStream(const TIOWideFileStream&) = delete;
    TIOWideFileStream& operator=(const TIOWideFileStream&) = delete;

    size_t Write(const void* data, size_t count) override;
    int64_t Position() const override { return position_; }
    bool Seek(int64_t position) override;
    int64_t Size() const override { return size_; }
    // Flushes and closes; false when any write, the flush or the close failed.
    bool Close();
    bool Failed() const { return failed_; }

private:
    bool Flush();

    int fd_ = -1;
    bool failed_ = false;
    int64_t position_ = 0;      // logical position, buffered bytes included
    int64_t size_ = 0;
    int64_t bufferStart_ = 0;   // file offset of buffer_[0]
    std::vector<uint8_t> buffer_;
};

// Bytes in memory. `failAfter` makes the stream accept only that many bytes in all, to
// exercise the writers' short-write handling.
class TIOMemoryStream : public TIOStream {
public:
    explicit TIOMemoryStream(size_t failAfter = SIZE_MAX) : failAfter_(failAfter) {}
    size_t Write(const void* data, size_t count) override;
    int64_t Position() const override { return static_cast<int64_t>(position_); }
    bool Seek(int64_t position) override;
    int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
    const std::vector<uint8_t>& Data() const { return data_; }

private:
    std::vector<uint8_t> data_;
    size_t position_ = 0;
    size_t failAfter_;
    size_t written_ = 0;
};

// Absolute form of a path without resolving links ("Cannot create file" names it so).
std::string AbsolutePathText(const std::string& path);
