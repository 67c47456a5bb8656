// The GIF LZW encoder: strings found through an open-addressing hash table, variable-width codes
// packed least significant bit first into 254-byte sub-blocks.
#include "imageio/gif_lzw.h"

#include "imageio/stream.h"

#include <array>
#include <memory>

TIOGifLzwEncoder DefaultGifLzwEncoder = GifLzwCompress;

namespace {

// 5003 is a prime about 22% above the 4096 codes, so open-addressing probes stay short.
constexpr int kTableSize = 5003;
constexpr int kHashShift = 4;
constexpr int kMaxBits = 12;
constexpr int kCodeLimit = 1 << kMaxBits;
constexpr int kBlockSize = 254;

class LzwEncoder {
public:
    LzwEncoder(TIOStream& stream, int height, int width, bool interlaced, const uint8_t* indices, int bitsPerPixel)
        : stream_(stream),
          width_(width),
          height_(height),
          interlaced_(interlaced),
          indices_(indices),
          pixelsLeft_(width > 0 && height > 0 ? static_cast<int64_t>(width) * height : 0) {
        minCodeSize_ = bitsPerPixel <= 1 ? 2 : bitsPerPixel;
        initialBits_ = minCodeSize_ + 1;
    }

    void Run() {
        const uint8_t minCodeSize = static_cast<uint8_t>(minCodeSize_);
        stream_.Write(&minCodeSize, 1);

        codeBits_ = initialBits_;
        maxCode_ = MaxCodeFor(codeBits_);
        clearCode_ = 1 << minCodeSize_;
        endCode_ = clearCode_ + 1;
        freeCode_ = clearCode_ + 2;
        clearFlag_ = false;

        int first = 0;
        if (!NextIndex(first)) {
            // No pixels: a stream that says nothing but is still well formed.
            keys_.fill(-1);
            Output(clearCode_, false);
            Output(endCode_, true);
        } else {
            Compress(first);
        }
        const uint8_t terminator = 0;
        stream_.Write(&terminator, 1);
    }

private:
    static int MaxCodeFor(int bits) { return (1 << bits) - 1; }

    void Compress(int prefix) {
        keys_.fill(-1);
        Output(clearCode_, false);

        int c = 0;
        while (NextIndex(c)) {
            const int32_t key = (c << kMaxBits) + prefix;
            int slot = (c << kHashShift) ^ prefix;
            if (keys_[static_cast<size_t>(slot)] == key) {
                prefix = codes_[static_cast<size_t>(slot)];
                continue;
            }
            if (keys_[static_cast<size_t>(slot)] >= 0) {
                // Secondary probe; a slot holding -1 (free) or 0 ends it, and a new string may
                // take a 0 slot over.
                const int displacement = slot == 0 ? 1 : kTableSize - slot;
                bool matched = false;
                do {
                    slot -= displacement;
                    if (slot < 0) slot += kTableSize;
                    if (keys_[static_cast<size_t>(slot)] == key) {
                        prefix = codes_[static_cast<size_t>(slot)];
                        matched = true;
                        break;
                    }
                } while (keys_[static_cast<size_t>(slot)] > 0);
                if (matched) continue;
            }
            Output(prefix, false);
            if (freeCode_ < kCodeLimit) {
                codes_[static_cast<size_t>(slot)] = static_cast<uint16_t>(freeCode_++);
                keys_[static_cast<size_t>(slot)] = key;
            } else {
                // The table is full: start over with a Clear code.
                keys_.fill(-1);
                freeCode_ = clearCode_ + 2;
                clearFlag_ = true;
                Output(clearCode_, false);
            }
            prefix = c;
        }
        Output(prefix, false);
        Output(endCode_, true);
    }

    // Appends one code at the width in force, then widens (or, after a Clear, narrows) the
    // codes that follow. The last code also flushes the partial byte and the block.
    void Output(int code, bool end) {
        if (bitCount_ > 0) {
            accumulator_ = (accumulator_ & ((1u << bitCount_) - 1u)) | (static_cast<uint32_t>(code) << bitCount_);
        } else {
            accumulator_ = static_cast<uint32_t>(code);
        }
        bitCount_ += codeBits_;
        while (bitCount_ >= 8) {
            AddByte(static_cast<uint8_t>(accumulator_ & 0xFF));
            accumulator_ >>= 8;
            bitCount_ -= 8;
        }

        if (freeCode_ > maxCode_ || clearFlag_) {
            if (clearFlag_) {
                codeBits_ = initialBits_;
                maxCode_ = MaxCodeFor(codeBits_);
                clearFlag_ = false;
            } else {
                ++codeBits_;
                maxCode_ = codeBits_ == kMaxBits ? kCodeLimit : MaxCodeFor(codeBits_);
            }
        }

        if (end) {
            while (bitCount_ > 0) {
                AddByte(static_cast<uint8_t>(accumulator_ & 0xFF));
                accumulator_ >>= 8;
                bitCount_ = bitCount_ > 8 ? bitCount_ - 8 : 0;
            }
            FlushBlock();
        }
    }

    void AddByte(uint8_t byte) {
        block_[static_cast<size_t>(blockFill_++)] = byte;
        if (blockFill_ == kBlockSize) FlushBlock();
    }

    void FlushBlock() {
        if (blockFill_ == 0) return;
        const uint8_t length = static_cast<uint8_t>(blockFill_);
        stream_.Write(&length, 1);
        stream_.Write(block_.data(), static_cast<size_t>(blockFill_));
        blockFill_ = 0;
    }

    // The next index in reading order: rows top to bottom, or the four interlace passes
    // (rows 0, 8, 16...; 4, 12...; 2, 6...; 1, 3...).
    bool NextIndex(int& index) {
        if (pixelsLeft_ == 0) return false;
        --pixelsLeft_;
        index = indices_[static_cast<size_t>(row_) * static_cast<size_t>(width_) + static_cast<size_t>(column_)];
        if (++column_ == width_) {
            column_ = 0;
            if (!interlaced_) {
                ++row_;
            } else {
                static constexpr std::array<int, 4> kFirstRow{0, 4, 2, 1};
                static constexpr std::array<int, 4> kStep{8, 8, 4, 2};
                row_ += kStep[static_cast<size_t>(pass_)];
                while (row_ >= height_ && pass_ < 3) {
                    ++pass_;
                    row_ = kFirstRow[static_cast<size_t>(pass_)];
                }
            }
        }
        return true;
    }

    TIOStream& stream_;
    int width_;
    int height_;
    bool interlaced_;
    const uint8_t* indices_;

    int column_ = 0;
    int row_ = 0;
    int pass_ = 0;
    int64_t pixelsLeft_;

    int minCodeSize_ = 0;
    int initialBits_ = 0;
    int codeBits_ = 0;
    int maxCode_ = 0;
    int clearCode_ = 0;
    int endCode_ = 0;
    int freeCode_ = 0;
    bool clearFlag_ = false;

    std::array<int32_t, kTableSize> keys_{};     // (index << 12) + prefix, -1 = free
    std::array<uint16_t, kTableSize> codes_{};

    uint32_t accumulator_ = 0;
    int bitCount_ = 0;
    std::array<uint8_t, kBlockSize> block_{};
    int blockFill_ = 0;
};

}  // namespace

void GifLzwCompress(TIOStream& stream, int height, int width, bool interlaced, const uint8_t* indices,
                    int bitsPerPixel) {
    // About 30 KB of tables: on the heap, not the caller's stack.
    auto encoder = std::make_unique<LzwEncoder>(stream, height, width, interlaced, indices, bitsPerPixel);
    encoder->Run();
}
