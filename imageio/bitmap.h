// TIOBitmap: the image buffer every writer reads. Pixels live in memory, in a temporary file,
// or in a wrapped platform bitmap (TBitmap); rows are padded to 4 bytes and row 0 is the top.
#pragma once

#include "imageio/colors.h"
#include "imageio/platform_bitmap.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

enum TIOPixelFormatId : uint8_t {
    ioNone = 0,
    io1g = 1,
    io8p = 2,
    io8g = 3,
    io16g = 4,
    io24RGB = 5,
    io32f = 6,
    ioCMYK = 7,
    ioRGB48 = 8,
    ioCIELab = 9,
    io32RGB = 10,
};

enum TIOLocationKind : uint8_t {
    ioMemory = 0,
    ioTempFile = 1,
    ioTBitmap = 2,
};

// Bits and samples of one pixel, indexed by TIOPixelFormatId.
int PixelFormatBitCount(TIOPixelFormatId format);
int PixelFormatChannelCount(TIOPixelFormatId format);

// Bytes of one row: width x bits rounded up to whole 32-bit words.
constexpr int RowLength(int width, int bitCount) {
    return static_cast<int>(((static_cast<int64_t>(width) * bitCount + 31) / 32) * 4);
}

// Total physical memory in bytes (0 when it cannot be measured).
uint64_t TotalPhysicalMemory();
// Images at least this large go to a temporary file instead of memory.
uint64_t TempFileThreshold();

class TIOBitmap {
public:
    TIOBitmap();
    ~TIOBitmap();
    TIOBitmap(const TIOBitmap&) = delete;
    TIOBitmap& operator=(const TIOBitmap&) = delete;

    // Geometry; while the pixels are a platform bitmap's, every getter first re-reads it.
    int Width();
    int Height();
    TIOPixelFormatId PixelFormat();
    int BitCount();
    int ChannelCount();
    int RowLength();

    TIOLocationKind Location() const { return location_; }
    // A new buffer starts as ioTempFile (decided by size at Allocate); ioMemory can be asked
    // for before allocating.
    void SetLocation(TIOLocationKind location);

    // Address of row `row`, 0 the top row.
    uint8_t* ScanLine(int row);

    // New size and format, contents undefined. False (size 0 x 0) when storage cannot be had
    // or the request is refused.
    bool Allocate(int width, int height, TIOPixelFormatId format);
    // Copies size, format, rows, palette and alpha channel of another buffer.
    void AssignFrom(TIOBitmap& source);
    // Copies a platform bitmap (its size, depth, pixels and table).
    void AssignFrom(const TBitmap& source);
    // Converts the pixels; a no-op for the stored format.
    void ConvertPixelFormat(TIOPixelFormatId format);

    // Palette of an io8p buffer.
    const TIOColorBGR* Palette() const { return palette_.data(); }
    int PaletteCount() const { return static_cast<int>(palette_.size()); }
    TIOColorBGR PaletteColor(int index) const { return palette_[static_cast<size_t>(index)]; }
    void SetPaletteColor(int index, TIOColorBGR colour) { palette_[static_cast<size_t>(index)] = colour; }
    void SetPalette(const std::vector<TIOColorBGR>& palette) { palette_ = palette; }
    void CopyPaletteTo(TIOBitmap& target) const { target.palette_ = palette_; }

    // Alpha channel: an io8g buffer of the same size, 255 = opaque, made on demand.
    bool HasAlphaChannel() const { return alpha_ != nullptr; }
    TIOBitmap& AlphaChannel();
    void RemoveAlphaChannel() { alpha_.reset(); }
    uint8_t AlphaAt(int x, int y);
    // True while every alpha byte is known to be 255 (alpha buffers only).
    bool Full() const { return full_; }
    void SetFull(bool full) { full_ = full; }
    // Fills with one byte; 255 sets the full flag, anything else clears it.
    void Fill(uint8_t value);
    // Sets the full flag from the bytes themselves.
    void CheckFull();
    bool IsAlphaBuffer() const { return isAlphaBuffer_; }

    // The wrapped platform bitmap, moving the pixels there when they lived elsewhere.
    TBitmap& PlatformBitmap();
    // Wraps an existing platform bitmap without owning it.
    void BindPlatformBitmap(TBitmap* bitmap, bool freePrevious);
    // Brings the stored geometry in line with the wrapped platform bitmap.
    void SyncFromPlatformBitmap();

private:
    void ReleaseStorage();
    void SetGeometry(int width, int height, TIOPixelFormatId format);
    void BuildRowTable();
    bool AllocatePlatform(int width, int height, TIOPixelFormatId format);
    TIOPixelFormatId FormatOfPlatformBitmap() const;
    void ConvertStoredPixels(TIOPixelFormatId format);
    void ConvertPlatformPixels(TIOPixelFormatId format);
    class TempFileStore;

    std::vector<TIOColorBGR> palette_;
    std::unique_ptr<TIOBitmap> alpha_;
    TBitmap* platformBitmap_ = nullptr;
    std::unique_ptr<TBitmap> ownedPlatformBitmap_;
    std::vector<uint8_t*> rowTable_;
    std::unique_ptr<uint8_t[]> memory_;
    std::unique_ptr<TempFileStore> tempFile_;
    int width_ = 0;
    int height_ = 0;
    int bitCount_ = 0;
    int channelCount_ = 0;
    int rowLength_ = 0;
    TIOPixelFormatId pixelFormat_ = ioNone;
    bool isAlphaBuffer_ = false;
    bool full_ = false;
    TIOLocationKind location_ = ioTempFile;
    int rowAlignment_ = 32;
};
