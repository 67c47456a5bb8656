// The GIF writer: header, global colour table, graphic control extension, one image descriptor,
// the encoder's LZW data, a comment extension and the trailer.
#include "imageio/gif_writer.h"

#include "imageio/errors.h"
#include "imageio/gif_lzw.h"
#include "imageio/quantizer.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

void PutLE16(uint8_t* at, int value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

// Writes bytes the writer itself produces; a stream that accepts fewer sets the abort byte, which
// the writer looks at only at its progress points.
void CheckedWrite(TIOStream& stream, const void* data, size_t count, TIOProgressRecord& progress) {
    if (stream.Write(data, count) < count) progress.SetAborted();
}

void CheckedWriteByte(TIOStream& stream, uint8_t byte, TIOProgressRecord& progress) {
    CheckedWrite(stream, &byte, 1, progress);
}

// Colour of pixel x of a row, for the formats a thumbnail buffer can have; false for others.
bool ReadPixel(TIOBitmap& picture, TIOPixelFormatId format, const uint8_t* row, int x, TIOColorBGR& colour) {
    switch (format) {
    case io24RGB: {
        const uint8_t* p = row + static_cast<size_t>(x) * 3;
        colour = TIOColorBGR{p[0], p[1], p[2]};
        return true;
    }
    case io32RGB: {
        const uint8_t* p = row + static_cast<size_t>(x) * 4;
        colour = TIOColorBGR{p[0], p[1], p[2]};
        return true;
    }
    case io8p: {
        const int index = row[x];
        // An index past the palette reads as black rather than past the palette's end.
        colour = index < picture.PaletteCount() ? picture.PaletteColor(index) : TIOColorBGR{};
        return true;
    }
    case io8g:
        colour = TIOColorBGR{row[x], row[x], row[x]};
        return true;
    default:
        return false;
    }
}

// One byte per pixel from the bits of an io1g picture, most significant bit first (1 = white).
std::vector<uint8_t> UnpackBits(TIOBitmap& picture) {
    const int width = picture.Width();
    const int height = picture.Height();
    std::vector<uint8_t> indices(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = picture.ScanLine(y);
        uint8_t* out = indices.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
        for (int x = 0; x < width; ++x) out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
    }
    return indices;
}

// The table entry nearest `colour` among the first `count` (sum of absolute differences; the
// lowest index wins a tie).
int NearestEntry(const std::array<TIOColorBGR, 256>& table, int count, TIOColorBGR colour) {
    int best = 0;
    int bestDistance = 1000;
    for (int i = 0; i < count; ++i) {
        const TIOColorBGR& e = table[static_cast<size_t>(i)];
        const int distance = std::abs(e.R - colour.R) + std::abs(e.G - colour.G) + std::abs(e.B - colour.B);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return best;
}

// Everything the writer holds while it works; freed on every way out.
struct GifWork {
    std::unique_ptr<TIOBitmap> temporary;   // the working picture when the buffer passed in is not used as is
    TIOBitmap* working = nullptr;
    std::unique_ptr<TIOQuantizer> quantizer;
    std::vector<uint8_t> indices;
    std::array<TIOColorBGR, 256> table{};   // B, G, R as the quantizer fills it
};

// Index of an extra colour (background, transparent): the quantizer's answer for a 24-bit
// working picture (255 for a colour an exact map lacks), else the nearest table entry.
int ExtraColourIndex(GifWork& work, TIOPixelFormatId workingFormat, int colourCount, TIOColorBGR colour) {
    if (workingFormat == io24RGB && work.quantizer) return work.quantizer->MapColor(colour) & 0xFF;
    return NearestEntry(work.table, colourCount, colour);
}

// Comment text as sub-blocks of at most 255 bytes. A longer line continues in further
// sub-blocks and an empty line is left out: a zero length would end the extension early.
std::vector<uint8_t> CommentBlocks(const TStringList& lines) {
    std::vector<uint8_t> out;
    for (const std::string& line : lines) {
        for (size_t start = 0; start < line.size(); start += 255) {
            const size_t length = std::min<size_t>(255, line.size() - start);
            out.push_back(static_cast<uint8_t>(length));
            out.insert(out.end(), line.begin() + static_cast<std::ptrdiff_t>(start),
                       line.begin() + static_cast<std::ptrdiff_t>(start + length));
        }
    }
    return out;
}

}  // namespace

int TwoColourLuminance(TIOColorBGR colour) {
    const int weighted = 21 * colour.R + 71 * colour.G + 8 * colour.B;
    int luminance = weighted / 100;
    const int remainder = weighted % 100;
    if (remainder > 50 || (remainder == 50 && luminance % 2 == 1)) ++luminance;
    return luminance;
}

std::optional<std::vector<uint8_t>> TwoColourIndices(TIOBitmap& picture) {
    const TIOPixelFormatId format = picture.PixelFormat();
    const int width = picture.Width();
    const int height = picture.Height();

    // Distinct colours in order of first appearance; the count is looked at only when a row
    // starts, so a row may add several.
    std::vector<TIOColorBGR> colours;
    for (int y = 0; y < height && colours.size() <= 2; ++y) {
        const uint8_t* row = picture.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            TIOColorBGR c;
            if (!ReadPixel(picture, format, row, x, c)) return std::nullopt;
            if (std::find(colours.begin(), colours.end(), c) == colours.end()) colours.push_back(c);
        }
    }
    if (colours.size() != 2) return std::nullopt;

    const TIOColorBGR first = colours[0];
    // The darker colour always gets index 0.
    const uint8_t firstIndex = TwoColourLuminance(colours[1]) < TwoColourLuminance(first) ? 1 : 0;
    std::vector<uint8_t> indices(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = picture.ScanLine(y);
        uint8_t* out = indices.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
        for (int x = 0; x < width; ++x) {
            TIOColorBGR c;
            ReadPixel(picture, format, row, x, c);
            out[x] = c == first ? firstIndex : static_cast<uint8_t>(firstIndex ^ 1);
        }
    }
    return indices;
}

void WriteGifImage(TIOStream& stream, TIOBitmap& picture, TIOParamsVals& params, TIOProgressRecord& progress) {
    // 1. Nothing at all when an abort was asked for before the start.
    progress.Report(0);
    if (progress.Aborted()) return;

    const int bits = params.BitsPerSample;
    if (bits < 1 || bits > 8) throw EIOError("GIF output needs 1 to 8 bits per pixel");
    const int width = picture.Width();
    const int height = picture.Height();
    // The header holds the sides in 16 bits; a larger picture cannot be a GIF.
    if (width > 0xFFFF || height > 0xFFFF) throw EIOError("GIF pictures are limited to 65535 pixels a side");

    GifWork work;

    // 2. The working picture.
    const TIOPixelFormatId format = picture.PixelFormat();
    std::optional<std::vector<uint8_t>> twoColour;
    if (bits == 1) {
        if (format != io1g) {
            twoColour = TwoColourIndices(picture);
            if (!twoColour) {
                work.temporary = std::make_unique<TIOBitmap>();
                work.temporary->AssignFrom(picture);
                work.temporary->ConvertPixelFormat(io1g);
            }
        }
        work.working = work.temporary ? work.temporary.get() : &picture;
    } else if (format == io24RGB || format == io8p) {
        work.working = &picture;
    } else {
        work.temporary = std::make_unique<TIOBitmap>();
        work.temporary->AssignFrom(picture);
        work.temporary->ConvertPixelFormat(io24RGB);
        work.working = work.temporary.get();
    }
    TIOBitmap& working = *work.working;
    const TIOPixelFormatId workingFormat = twoColour ? io1g : working.PixelFormat();

    // 3. Colour count; with an alpha channel the last index is kept for transparency.
    const bool hasAlpha = picture.HasAlphaChannel();
    int colourCount = 1 << bits;
    if (hasAlpha) {
        --colourCount;
        params.GifTransparent = 1;
    }

    // 4, 5. One bit per pixel: black and white, whatever the picture's two colours were.
    if (bits == 1) {
        work.indices = twoColour ? std::move(*twoColour) : UnpackBits(working);
        work.table[0] = TIOColorBGR{0, 0, 0};
        work.table[1] = TIOColorBGR{255, 255, 255};
    } else {
        // 6. Through the quantizer.
        work.indices.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
        work.quantizer = std::make_unique<TIOQuantizer>(working, work.table.data(), colourCount);
        TIOBitmap* alpha = hasAlpha ? &picture.AlphaChannel() : nullptr;
        TIOColorBGR lastColour{};
        uint8_t lastIndex = 0;
        bool haveLast = false;
        for (int y = 0; y < height; ++y) {
            const uint8_t* row = working.ScanLine(y);
            const uint8_t* alphaRow = alpha ? alpha->ScanLine(y) : nullptr;
            uint8_t* out = work.indices.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
            for (int x = 0; x < width; ++x) {
                if (alphaRow && alphaRow[x] < 255) {
                    out[x] = static_cast<uint8_t>(colourCount);
                } else if (workingFormat == io8p) {
                    out[x] = row[x];
                } else {
                    const uint8_t* p = row + static_cast<size_t>(x) * 3;
                    const TIOColorBGR c{p[0], p[1], p[2]};
                    // Neighbouring pixels often share a colour; the lookup is pure, so reuse it.
                    if (!haveLast || !(c == lastColour)) {
                        lastColour = c;
                        lastIndex = static_cast<uint8_t>(work.quantizer->MapColor(c) & 0xFF);
                        haveLast = true;
                    }
                    out[x] = lastIndex;
                }
            }
        }
    }

    // 7. Nothing is written when an abort came in while the picture was being prepared.
    progress.Report(30);
    if (progress.Aborted()) return;

    // 8. Header.
    const int backgroundIndex = ExtraColourIndex(work, workingFormat, colourCount, params.GifBackgroundColor);
    std::array<uint8_t, 13> header{};
    for (size_t i = 0; i < 6 && i < params.GifVersion.size(); ++i) header[i] = static_cast<uint8_t>(params.GifVersion[i]);
    PutLE16(&header[6], width);                                                   // logical screen width
    PutLE16(&header[8], height);                                                  // logical screen height
    header[10] = static_cast<uint8_t>(0x80 | ((bits - 1) << 4) | (bits - 1));     // global table, resolution, size
    header[11] = static_cast<uint8_t>(backgroundIndex);                           // background colour index
    header[12] = 0;                                                               // pixel aspect ratio
    CheckedWrite(stream, header.data(), header.size(), progress);

    // 9. Global colour table in file order (red, green, blue), then the graphic control extension.
    const size_t tableEntries = size_t{1} << bits;
    std::vector<uint8_t> table(tableEntries * 3);
    for (size_t i = 0; i < tableEntries; ++i) {
        table[i * 3] = work.table[i].R;
        table[i * 3 + 1] = work.table[i].G;
        table[i * 3 + 2] = work.table[i].B;
    }
    CheckedWrite(stream, table.data(), table.size(), progress);

    const int transparentIndex =
        hasAlpha ? colourCount : ExtraColourIndex(work, workingFormat, colourCount, params.GifTransparentColor);
    CheckedWriteByte(stream, 0x21, progress);   // extension introducer
    CheckedWriteByte(stream, 0xF9, progress);   // graphic control label
    CheckedWriteByte(stream, 4, progress);      // block size
    std::array<uint8_t, 4> control{};
    control[0] = static_cast<uint8_t>(params.GifDisposalMethod * 4 | params.GifTransparent);   // packed fields
    PutLE16(&control[1], params.GifDelayTime);                                                 // delay time
    control[3] = static_cast<uint8_t>(transparentIndex);                                       // transparent index
    CheckedWrite(stream, control.data(), control.size(), progress);
    CheckedWriteByte(stream, 0, progress);      // block terminator

    // 10. Image descriptor.
    CheckedWriteByte(stream, 0x2C, progress);   // image separator
    std::array<uint8_t, 9> descriptor{};
    PutLE16(&descriptor[0], params.GifImageLeft);                  // image left
    PutLE16(&descriptor[2], params.GifImageTop);                   // image top
    PutLE16(&descriptor[4], width);                                // image width
    PutLE16(&descriptor[6], height);                               // image height
    descriptor[8] = static_cast<uint8_t>(params.GifInterlaced * 64);   // interlace flag, no local table
    CheckedWrite(stream, descriptor.data(), descriptor.size(), progress);

    // 11, 12. The image data, unless an abort came in meanwhile or there is no encoder.
    progress.Report(70);
    if (progress.Aborted()) return;
    const TIOGifLzwEncoder encoder = params.GifLzwEncoder ? params.GifLzwEncoder : DefaultGifLzwEncoder;
    if (!encoder) {
        progress.SetAborted();
        return;
    }
    encoder(stream, height, width, params.GifInterlaced != 0, work.indices.data(), bits);

    // 13. Free the working data before the last few bytes.
    work = GifWork{};

    // 14. Comment extension, always present.
    const std::array<uint8_t, 2> comment{0x21, 0xFE};   // extension introducer, comment label
    CheckedWrite(stream, comment.data(), comment.size(), progress);
    const std::vector<uint8_t> blocks = CommentBlocks(params.GifComments);
    if (!blocks.empty()) CheckedWrite(stream, blocks.data(), blocks.size(), progress);
    CheckedWriteByte(stream, 0, progress);      // block terminator

    // 15. Trailer.
    CheckedWriteByte(stream, 0x3B, progress);
    progress.Report(100);
}
