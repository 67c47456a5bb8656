// The BMP writer: header layout, palettes, and the row encodings of 1-, 4-, 8-, 24- and 32-bit
// output, with the headers completed once the end of the pixel data is known.
#include "imageio/bmp_writer.h"

#include "imageio/errors.h"
#include "imageio/quantizer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace {

constexpr int kFileHeaderSize = 14;
constexpr int kCoreHeaderSize = 12;
constexpr int kInfoHeaderSize = 40;
// The 40-byte header followed by 24 bytes that this writer leaves zero.
constexpr int kLongInfoHeaderSize = 64;

constexpr uint32_t kCompressionNone = 0;
constexpr uint32_t kCompressionRle8 = 1;
constexpr uint32_t kCompressionRle4 = 2;

// Run-length codes never describe more than this many pixels at once.
constexpr int kMaxRun = 255;

void PutLE16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

void PutLE32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

// Everything the writer sends goes through Write. A stream that takes fewer bytes than given
// (a full disk) is not an exception: the abort flag goes up and the row loops stop before the
// next row. Once a write was refused nothing more is sent, and the writer's own flag stops it
// also when the record has no abort byte.
class BmpOutput {
public:
    BmpOutput(TIOStream& stream, TIOProgressRecord& progress) : stream_(stream), progress_(progress) {}

    void Write(const void* data, size_t count) {
        if (failed_) return;
        if (stream_.Write(data, count) < count) Fail();
    }
    void Fail() {
        failed_ = true;
        progress_.SetAborted();
    }
    bool Stopped() const { return failed_ || progress_.Aborted(); }
    int64_t Position() const { return stream_.Position(); }
    bool Seek(int64_t position) { return stream_.Seek(position); }
    TIOProgressRecord& Progress() { return progress_; }

private:
    TIOStream& stream_;
    TIOProgressRecord& progress_;
    bool failed_ = false;
};

// The fields the headers carry; the depth and the sizes stay zero until the data is complete.
struct BmpHeaderFields {
    int headerSize = 0;            // 12, 40 or 64
    int width = 0;
    int height = 0;
    int bitCount = 0;
    uint32_t compression = kCompressionNone;
    uint32_t imageSize = 0;
    int32_t xPixelsPerMetre = 0;
    int32_t yPixelsPerMetre = 0;
    uint32_t coloursUsed = 0;
    uint32_t importantColours = 0;
};

std::array<uint8_t, kFileHeaderSize> FileHeaderBytes(uint32_t fileSize, uint32_t pixelOffset) {
    std::array<uint8_t, kFileHeaderSize> h{};
    h[0] = 'B';                     // bfType
    h[1] = 'M';
    PutLE32(&h[2], fileSize);       // bfSize
    PutLE16(&h[6], 0);              // bfReserved1
    PutLE16(&h[8], 0);              // bfReserved2
    PutLE32(&h[10], pixelOffset);   // bfOffBits
    return h;
}

// The header as bytes; the first f.headerSize of them go to the file.
std::array<uint8_t, kLongInfoHeaderSize> HeaderBytes(const BmpHeaderFields& f) {
    std::array<uint8_t, kLongInfoHeaderSize> h{};
    if (f.headerSize == kCoreHeaderSize) {
        PutLE32(&h[0], kCoreHeaderSize);                         // bcSize
        PutLE16(&h[4], static_cast<uint16_t>(f.width));          // bcWidth
        PutLE16(&h[6], static_cast<uint16_t>(f.height));         // bcHeight
        PutLE16(&h[8], 1);                                       // bcPlanes
        PutLE16(&h[10], static_cast<uint16_t>(f.bitCount));      // bcBitCount
        return h;
    }
    PutLE32(&h[0], static_cast<uint32_t>(f.headerSize));         // biSize
    PutLE32(&h[4], static_cast<uint32_t>(f.width));              // biWidth
    PutLE32(&h[8], static_cast<uint32_t>(f.height));             // biHeight, positive: bottom-up
    PutLE16(&h[12], 1);                                          // biPlanes
    PutLE16(&h[14], static_cast<uint16_t>(f.bitCount));          // biBitCount
    PutLE32(&h[16], f.compression);                              // biCompression
    PutLE32(&h[20], f.imageSize);                                // biSizeImage
    PutLE32(&h[24], static_cast<uint32_t>(f.xPixelsPerMetre));   // biXPelsPerMeter
    PutLE32(&h[28], static_cast<uint32_t>(f.yPixelsPerMetre));   // biYPelsPerMeter
    PutLE32(&h[32], f.coloursUsed);                              // biClrUsed
    PutLE32(&h[36], f.importantColours);                         // biClrImportant
    return h;
}

int HeaderSizeOfKind(uint8_t kind) {
    switch (kind) {
    case 0:
    case 1: return kInfoHeaderSize;
    case 2: return kCoreHeaderSize;
    case 3: return kLongInfoHeaderSize;
    default: return 0;
    }
}

// The buffer's own pixel format does not choose the depth: the parameters do, and an alpha
// channel turns colour output into 32 bits.
int OutputDepth(const TIOParamsVals& params, const TIOBitmap& bitmap) {
    if (params.BitsPerSample == 1 || params.BitsPerSample == 4) return params.BitsPerSample;
    if (params.SamplesPerPixel == 1) return 8;
    if (bitmap.HasAlphaChannel()) return 32;
    return 24;
}

uint32_t ImportantColours(int depth) {
    switch (depth) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    case 24: return 16777216;
    default: return 1;
    }
}

// Converts in place and makes sure it happened: the rows are read at the new format's length,
// so a conversion the buffer cannot do must not let the writer read past shorter rows.
void ConvertChecked(TIOBitmap& image, TIOPixelFormatId format, int width, int height) {
    image.ConvertPixelFormat(format);
    if (image.PixelFormat() != format || image.Width() != width || image.Height() != height)
        throw EIOError("Cannot convert the image to the pixel format the BMP output needs");
}

std::unique_ptr<TIOBitmap> ConvertedCopy(TIOBitmap& bitmap, TIOPixelFormatId format) {
    auto copy = std::make_unique<TIOBitmap>();
    copy->AssignFrom(bitmap);
    // Alpha is always read from the caller's buffer; the copy need not carry it.
    copy->RemoveAlphaChannel();
    ConvertChecked(*copy, format, bitmap.Width(), bitmap.Height());
    return copy;
}

// The buffer itself when it holds B, G, R pixels, else a converted copy that `copy` owns.
TIOBitmap& RgbSource(TIOBitmap& bitmap, std::unique_ptr<TIOBitmap>& copy) {
    if (bitmap.PixelFormat() == io24RGB) return bitmap;
    copy = ConvertedCopy(bitmap, io24RGB);
    return *copy;
}

// Calls writeRow for every row from the bottom one up, reporting the percentage done before
// each row and stopping as soon as the abort flag is up. With onlyChanges a percentage equal to
// the last one reported is not sent again.
template <typename WriteRow>
void ForEachRowBottomUp(BmpOutput& out, int height, bool onlyChanges, WriteRow writeRow) {
    TIOProgressRecord& progress = out.Progress();
    int lastPercent = -1;
    for (int row = height - 1; row >= 0; --row) {
        const int percent = static_cast<int>((height - 1 - row) * progress.Scale);
        if (!onlyChanges || percent != lastPercent) {
            progress.Report(percent);
            lastPercent = percent;
        }
        if (out.Stopped()) return;
        writeRow(row);
    }
}

void WritePalette(BmpOutput& out, const std::vector<TIOColorBGR>& colours, bool core) {
    std::vector<uint8_t> bytes;
    bytes.reserve(colours.size() * 4);
    for (const TIOColorBGR& c : colours) {
        bytes.push_back(c.B);
        bytes.push_back(c.G);
        bytes.push_back(c.R);
        if (!core) bytes.push_back(0);
    }
    out.Write(bytes.data(), bytes.size());
}

// 24 bits: each row goes out as it stands in the buffer, padding included.
int64_t WriteRgbRows(BmpOutput& out, TIOBitmap& bitmap, int height, int rowLength) {
    std::unique_ptr<TIOBitmap> copy;
    TIOBitmap& source = RgbSource(bitmap, copy);
    const int64_t pixelStart = out.Position();
    ForEachRowBottomUp(out, height, false, [&](int row) {
        out.Write(source.ScanLine(row), static_cast<size_t>(rowLength));
    });
    return pixelStart;
}

// 32 bits: B, G, R and the alpha byte (255 unless the alpha channel is asked for).
int64_t WriteRgbaRows(BmpOutput& out, TIOBitmap& bitmap, bool writeAlpha, int width, int height,
                      int rowLength) {
    std::unique_ptr<TIOBitmap> copy;
    TIOBitmap& source = RgbSource(bitmap, copy);
    TIOBitmap* alpha = nullptr;
    if (writeAlpha) {
        alpha = &bitmap.AlphaChannel();
        if (alpha->Width() != width || alpha->Height() != height)
            throw EIOError("The alpha channel does not match the image size");
    }
    const int64_t pixelStart = out.Position();
    std::vector<uint8_t> rowBuffer(static_cast<size_t>(rowLength));
    ForEachRowBottomUp(out, height, false, [&](int row) {
        const uint8_t* pixels = source.ScanLine(row);
        const uint8_t* alphaRow = alpha != nullptr ? alpha->ScanLine(row) : nullptr;
        uint8_t* target = rowBuffer.data();
        for (int x = 0; x < width; ++x, pixels += 3, target += 4) {
            target[0] = pixels[0];
            target[1] = pixels[1];
            target[2] = pixels[2];
            target[3] = alphaRow != nullptr ? alphaRow[x] : 255;
        }
        out.Write(rowBuffer.data(), rowBuffer.size());
    });
    return pixelStart;
}

bool AllIndicesBelow(TIOBitmap& bitmap, int width, int height, int limit) {
    for (int row = 0; row < height; ++row) {
        const uint8_t* indices = bitmap.ScanLine(row);
        if (std::any_of(indices, indices + width, [limit](uint8_t i) { return i >= limit; })) return false;
    }
    return true;
}

// 8 and 4 bits: a palette of 2^depth colours from the quantizer, then index rows, uncompressed
// or run-length encoded.
int64_t WriteIndexedRows(BmpOutput& out, TIOBitmap& bitmap, TIOParamsVals& params, int depth,
                         bool core, bool rle, int width, int height, int rowLength) {
    const int colourCount = 1 << depth;
    const TIOPixelFormatId format = bitmap.PixelFormat();
    // A palette image keeps its own indices, except in 4-bit output when some index does not
    // fit in a nibble: those pixels would spill into their neighbours, so the picture is reduced
    // from its colours instead.
    const bool keepIndices =
        format == io8p && (depth == 8 || AllIndicesBelow(bitmap, width, height, colourCount));
    std::unique_ptr<TIOBitmap> copy;
    TIOBitmap* source = &bitmap;
    if (!keepIndices && format != io24RGB) {
        copy = ConvertedCopy(bitmap, io24RGB);
        source = copy.get();
    }

    params.ColorMap.assign(static_cast<size_t>(colourCount), TIOColorBGR{});
    params.ColorMapCount = colourCount;
    TIOQuantizer quantizer(*source, params.ColorMap.data(), colourCount);
    WritePalette(out, params.ColorMap, core);

    const int64_t pixelStart = out.Position();
    std::vector<uint8_t> indices(static_cast<size_t>(width));
    std::vector<uint8_t> rowBuffer(static_cast<size_t>(rowLength));
    std::vector<uint8_t> encoded;
    ForEachRowBottomUp(out, height, false, [&](int row) {
        const uint8_t* pixels = source->ScanLine(row);
        if (keepIndices) {
            std::copy(pixels, pixels + width, indices.begin());
        } else {
            for (int x = 0; x < width; ++x, pixels += 3) {
                const int index = quantizer.MapColor(TIOColorBGR{pixels[0], pixels[1], pixels[2]});
                // A colour missing from an exact map (-1) lands on the last entry, as a byte would.
                indices[static_cast<size_t>(x)] = static_cast<uint8_t>(index & (colourCount - 1));
            }
        }
        if (rle) {
            encoded.clear();
            if (depth == 8)
                EncodeRle8Row(indices.data(), width, encoded);
            else
                EncodeRle4Row(indices.data(), width, encoded);
            out.Write(encoded.data(), encoded.size());
        } else if (depth == 8) {
            std::copy(indices.begin(), indices.end(), rowBuffer.begin());
            out.Write(rowBuffer.data(), rowBuffer.size());
        } else {
            for (int x = 0; x < width; x += 2) {
                const uint8_t high = static_cast<uint8_t>(indices[static_cast<size_t>(x)] << 4);
                const uint8_t low = x + 1 < width ? indices[static_cast<size_t>(x) + 1] : 0;
                rowBuffer[static_cast<size_t>(x / 2)] = static_cast<uint8_t>(high | low);
            }
            out.Write(rowBuffer.data(), rowBuffer.size());
        }
    });
    if (rle && !out.Stopped()) {
        const uint8_t endOfBitmap[2] = {0x00, 0x01};
        out.Write(endOfBitmap, sizeof endOfBitmap);
    }
    return pixelStart;
}

// Up to `limit` distinct colours of a 24-bit image in order of first appearance, rows from the top.
std::vector<TIOColorBGR> FirstColours(TIOBitmap& image, int width, int height, size_t limit) {
    std::vector<TIOColorBGR> found;
    for (int row = 0; row < height; ++row) {
        const uint8_t* p = image.ScanLine(row);
        for (int x = 0; x < width; ++x, p += 3) {
            const TIOColorBGR c{p[0], p[1], p[2]};
            if (std::find(found.begin(), found.end(), c) != found.end()) continue;
            found.push_back(c);
            if (found.size() >= limit) return found;
        }
    }
    return found;
}

// 1-bit rows of a 24-bit image holding at most two colours: bit 0 for `zero`, 1 for the other.
std::vector<uint8_t> PackTwoColours(TIOBitmap& image, int width, int height, int rowLength,
                                    TIOColorBGR zero) {
    std::vector<uint8_t> bits(static_cast<size_t>(rowLength) * static_cast<size_t>(height), 0);
    for (int row = 0; row < height; ++row) {
        const uint8_t* p = image.ScanLine(row);
        uint8_t* target = bits.data() + static_cast<size_t>(row) * static_cast<size_t>(rowLength);
        for (int x = 0; x < width; ++x, p += 3) {
            if (TIOColorBGR{p[0], p[1], p[2]} != zero) target[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
    }
    return bits;
}

// 1 bit: black and white for a 1-bit buffer or a thresholded copy; the picture's own two colours
// when it has no more than two.
int64_t WriteMonochromeRows(BmpOutput& out, TIOBitmap& bitmap, TIOParamsVals& params, bool core,
                            int width, int height, int rowLength) {
    std::vector<TIOColorBGR> palette{TIOColorBGR{0, 0, 0}, TIOColorBGR{255, 255, 255}};
    std::unique_ptr<TIOBitmap> copy;
    TIOBitmap* source = &bitmap;
    std::vector<uint8_t> packed;
    if (bitmap.PixelFormat() != io1g) {
        TIOBitmap& rgb = RgbSource(bitmap, copy);
        const std::vector<TIOColorBGR> colours = FirstColours(rgb, width, height, 3);
        if (colours.size() <= 2) {
            // A one-colour picture leaves the second entry cleared, like a fresh palette.
            palette[0] = colours[0];
            palette[1] = colours.size() == 2 ? colours[1] : TIOColorBGR{};
            packed = PackTwoColours(rgb, width, height, rowLength, colours[0]);
            source = nullptr;
        } else if (copy) {
            ConvertChecked(*copy, io1g, width, height);
            source = copy.get();
        } else {
            copy = ConvertedCopy(bitmap, io1g);
            source = copy.get();
        }
    }
    params.ColorMap = palette;
    params.ColorMapCount = 2;
    WritePalette(out, palette, core);

    const int64_t pixelStart = out.Position();
    ForEachRowBottomUp(out, height, true, [&](int row) {
        const uint8_t* bits = source != nullptr
                                  ? source->ScanLine(row)
                                  : packed.data() + static_cast<size_t>(row) * static_cast<size_t>(rowLength);
        out.Write(bits, static_cast<size_t>(rowLength));
    });
    return pixelStart;
}

// Length of the run of equal values starting at `i`, at most kMaxRun.
int RunLength(const uint8_t* v, int i, int width) {
    int run = 1;
    while (i + run < width && run < kMaxRun && v[i + run] == v[i]) ++run;
    return run;
}

// End of a stretch of pixels worth sending literally: it stops before two equal neighbours
// (which a run codes better) or after kMaxRun pixels.
int LiteralEnd(const uint8_t* v, int i, int width) {
    int j = i + 1;
    while (j < width && j - i < kMaxRun && !(j + 1 < width && v[j] == v[j + 1])) ++j;
    return j;
}

// Shared shape of both encodings: runs as (count, value), stretches of three or more distinct
// pixels in absolute mode (00, count, packed pixels, padded to 16 bits), shorter ones as runs
// of one. `runByte` gives the value byte of a run; `pack` appends count packed pixels.
template <typename RunByte, typename Pack>
void EncodeRleRow(const uint8_t* v, int width, std::vector<uint8_t>& out, RunByte runByte, Pack pack) {
    int i = 0;
    while (i < width) {
        const int run = RunLength(v, i, width);
        if (run >= 2) {
            out.push_back(static_cast<uint8_t>(run));
            out.push_back(runByte(v[i]));
            i += run;
            continue;
        }
        const int end = LiteralEnd(v, i, width);
        const int count = end - i;
        if (count >= 3) {
            // 00 01 and 00 02 are escapes, so absolute mode starts at three pixels.
            out.push_back(0x00);
            out.push_back(static_cast<uint8_t>(count));
            const size_t before = out.size();
            pack(v + i, count, out);
            if ((out.size() - before) % 2 != 0) out.push_back(0x00);
        } else {
            for (int k = i; k < end; ++k) {
                out.push_back(1);
                out.push_back(runByte(v[k]));
            }
        }
        i = end;
    }
    out.push_back(0x00);   // end of line
    out.push_back(0x00);
}

}  // namespace

int32_t BmpPixelsPerMetre(int dotsPerInch) {
    // nearbyint rounds half to even in the default rounding mode.
    const double perMetre = std::nearbyint(dotsPerInch / 2.54 * 100.0);
    const double clamped = std::clamp(perMetre, static_cast<double>(std::numeric_limits<int32_t>::min()),
                                      static_cast<double>(std::numeric_limits<int32_t>::max()));
    return static_cast<int32_t>(clamped);
}

void EncodeRle8Row(const uint8_t* indices, int width, std::vector<uint8_t>& out) {
    EncodeRleRow(
        indices, width, out, [](uint8_t value) { return value; },
        [](const uint8_t* v, int count, std::vector<uint8_t>& o) { o.insert(o.end(), v, v + count); });
}

void EncodeRle4Row(const uint8_t* indices, int width, std::vector<uint8_t>& out) {
    EncodeRleRow(
        indices, width, out,
        // A run alternates the byte's two nibbles; both the same gives one colour.
        [](uint8_t value) { return static_cast<uint8_t>(((value & 0x0F) << 4) | (value & 0x0F)); },
        [](const uint8_t* v, int count, std::vector<uint8_t>& o) {
            for (int k = 0; k < count; k += 2) {
                const uint8_t high = static_cast<uint8_t>((v[k] & 0x0F) << 4);
                const uint8_t low = k + 1 < count ? static_cast<uint8_t>(v[k + 1] & 0x0F) : 0;
                o.push_back(static_cast<uint8_t>(high | low));
            }
        });
}

void WriteBmp(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params, bool writeAlpha,
              TIOProgressRecord& progress) {
    const int width = bitmap.Width();
    const int height = bitmap.Height();
    // An empty picture has no BMP form, and its height would make the progress scale a division
    // by zero: refuse it before anything is written.
    if (width < 1 || height < 1)
        throw EIOError("Cannot write an empty image (" + std::to_string(width) + " x " +
                       std::to_string(height) + " pixels) as BMP");
    const int headerSize = HeaderSizeOfKind(params.BmpHeaderKind);
    if (headerSize == 0)
        throw EIOError("Unknown BMP header kind " + std::to_string(params.BmpHeaderKind));
    const bool core = headerSize == kCoreHeaderSize;
    if (core && (width > 0xFFFF || height > 0xFFFF))
        throw EIOError("The image is too large for a BMP file with a 12-byte header");

    const int depth = OutputDepth(params, bitmap);
    const int rowLength = RowLength(width, depth);
    const bool rle = !core && params.BmpCompression == 1 && (depth == 8 || depth == 4);
    const uint64_t paletteBytes = depth <= 8 ? (uint64_t{1} << depth) * (core ? 3 : 4) : 0;
    const uint64_t plainFileSize = kFileHeaderSize + static_cast<uint64_t>(headerSize) + paletteBytes +
                                   static_cast<uint64_t>(rowLength) * static_cast<uint64_t>(height);
    if (plainFileSize > std::numeric_limits<uint32_t>::max())
        throw EIOError("The image is too large for a BMP file");

    BmpHeaderFields fields;
    fields.headerSize = headerSize;
    fields.width = width;
    fields.height = height;
    fields.compression = rle ? (depth == 8 ? kCompressionRle8 : kCompressionRle4) : kCompressionNone;
    fields.xPixelsPerMetre = BmpPixelsPerMetre(params.HorizontalDpi);
    fields.yPixelsPerMetre = BmpPixelsPerMetre(params.VerticalDpi);
    fields.coloursUsed = depth <= 8 ? (uint32_t{1} << depth) : 0;
    fields.importantColours = ImportantColours(depth);

    BmpOutput out(stream, progress);
    const int64_t start = stream.Position();
    // Sizes and depth stay zero until the data is complete, so an interrupted file is not
    // mistaken for a whole one.
    out.Write(FileHeaderBytes(0, 0).data(), kFileHeaderSize);
    out.Write(HeaderBytes(fields).data(), static_cast<size_t>(headerSize));

    progress.Scale = 100.0 / height;
    int64_t pixelStart = 0;
    switch (depth) {
    case 1: pixelStart = WriteMonochromeRows(out, bitmap, params, core, width, height, rowLength); break;
    case 4:
    case 8:
        pixelStart = WriteIndexedRows(out, bitmap, params, depth, core, rle, width, height, rowLength);
        break;
    case 32: pixelStart = WriteRgbaRows(out, bitmap, writeAlpha, width, height, rowLength); break;
    default: pixelStart = WriteRgbRows(out, bitmap, height, rowLength); break;
    }
    if (out.Stopped()) return;

    const int64_t end = stream.Position();
    if (end - start > static_cast<int64_t>(std::numeric_limits<uint32_t>::max()))
        throw EIOError("The image is too large for a BMP file");
    if (!out.Seek(start)) {
        out.Fail();
        return;
    }
    out.Write(FileHeaderBytes(static_cast<uint32_t>(end - start), static_cast<uint32_t>(pixelStart - start)).data(),
              kFileHeaderSize);
    fields.bitCount = depth;
    fields.imageSize = static_cast<uint32_t>(end - pixelStart);
    out.Write(HeaderBytes(fields).data(), static_cast<size_t>(headerSize));
    if (!out.Seek(end)) out.Fail();
}
