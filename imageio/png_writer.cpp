// The PNG writer: colour type and depth from the parameters, the ancillary chunks, rows handed to
// libpng (colour rows as they are, B, G, R), progress and abort, and library errors brought back
// by longjmp and raised outside the library.
#include "imageio/png_writer.h"

#include "imageio/errors.h"
#include "imageio/quantizer.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <string>

#include <png.h>

namespace {

// ---- Hooks ---------------------------------------------------------------------------------

struct PngWriteContext {
    TIOStream* stream;
    uint8_t* abortFlag;
};

// A stream that takes fewer bytes than offered has failed: the abort flag stops the row loop.
// Nothing may be thrown through the library.
void WriteHook(png_structp png, png_bytep data, size_t length) {
    auto* context = static_cast<PngWriteContext*>(png_get_io_ptr(png));
    size_t accepted = 0;
    try {
        accepted = context->stream->Write(data, length);
    } catch (...) {
        accepted = 0;
    }
    if (accepted < length) *context->abortFlag = 1;
}

void FlushHook(png_structp) {}

// Back to the guarded call that is running (its setjmp); the caller raises from there.
[[noreturn]] void ErrorHook(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// Warnings (such as a background colour the depth cannot hold) change nothing we rely on.
void WarningHook(png_structp, png_const_charp) {}

// ---- Library objects -----------------------------------------------------------------------

// Owns the write and info structures.
struct PngWriteHandle {
    png_structp png = nullptr;
    png_infop info = nullptr;

    PngWriteHandle() = default;
    ~PngWriteHandle() {
        if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    }
    PngWriteHandle(const PngWriteHandle&) = delete;
    PngWriteHandle& operator=(const PngWriteHandle&) = delete;
};

// Everything the header step hands the library; plain data, so it may live in the guarded
// frame below.
struct PngHeader {
    png_uint_32 width;
    png_uint_32 height;
    int bitDepth;
    int colorType;
    int interlace;
    const png_color* palette;   // null: no PLTE
    int paletteCount;
    bool transparentEntry0;     // tRNS making palette entry 0 fully transparent
    png_uint_32 resolutionX;
    png_uint_32 resolutionY;
    int filter;                 // -1 leaves the library's own choice
    bool hasBackground;
    png_color_16 background;
    int compressionLevel;
    png_text* texts;
    int textCount;
};

const png_byte kTransparent[1] = {0};

// The guarded steps. Each frame holds only C data: the error hook jumps back here, and a jump
// over a C++ destructor would be undefined behaviour. Each returns false after a library error.

bool TryWriteHeader(png_structp png, png_infop info, const PngHeader& h) noexcept {
    if (setjmp(png_jmpbuf(png))) return false;
    if (h.palette != nullptr) {
        png_set_PLTE(png, info, h.palette, h.paletteCount);
        if (h.transparentEntry0) png_set_tRNS(png, info, kTransparent, 1, nullptr);
    }
    png_set_IHDR(png, info, h.width, h.height, h.bitDepth, h.colorType, h.interlace,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_set_pHYs(png, info, h.resolutionX, h.resolutionY, PNG_RESOLUTION_METER);
    if (h.filter >= 0) png_set_filter(png, PNG_FILTER_TYPE_BASE, h.filter);
    if (h.hasBackground) png_set_bKGD(png, info, &h.background);
    png_set_compression_level(png, h.compressionLevel);
    // Colour rows come as B, G, R (and A); the library swaps them while packing.
    png_set_bgr(png);
    png_set_text(png, info, h.texts, h.textCount);
    png_write_info(png, info);
    return true;
}

bool TryInterlaceHandling(png_structp png, int* passes) noexcept {
    if (setjmp(png_jmpbuf(png))) return false;
    *passes = png_set_interlace_handling(png);
    return true;
}

bool TryWriteRow(png_structp png, png_bytep row) noexcept {
    if (setjmp(png_jmpbuf(png))) return false;
    png_write_rows(png, &row, 1);
    return true;
}

bool TryWriteEnd(png_structp png, png_infop info) noexcept {
    if (setjmp(png_jmpbuf(png))) return false;
    png_write_end(png, info);
    return true;
}

[[noreturn]] void RaisePngError() { throw EInvalidGraphic(kPngErrorText); }

// ---- Working buffer ------------------------------------------------------------------------

std::unique_ptr<TIOBitmap> ConvertedCopy(TIOBitmap& source, TIOPixelFormatId format) {
    auto copy = std::make_unique<TIOBitmap>();
    copy->SetLocation(ioMemory);
    copy->AssignFrom(source);
    copy->RemoveAlphaChannel();
    copy->ConvertPixelFormat(format);
    if (copy->PixelFormat() != format) RaisePngError();
    return copy;
}

TIOColorBGR PixelAt(const uint8_t* bgrRow, int x) {
    const uint8_t* p = bgrRow + static_cast<size_t>(x) * 3;
    return TIOColorBGR{p[0], p[1], p[2]};
}

// The 1-bit working buffer. A picture of exactly two colours keeps them apart: the darker
// becomes 0 (black), the other 1 (white). Any other picture is thresholded by the buffer's own
// conversion.
std::unique_ptr<TIOBitmap> OneBitCopy(TIOBitmap& source) {
    std::unique_ptr<TIOBitmap> rgb;
    TIOBitmap* view = &source;
    if (source.PixelFormat() != io24RGB) {
        rgb = ConvertedCopy(source, io24RGB);
        view = rgb.get();
    }
    const int width = view->Width();
    const int height = view->Height();

    TIOColorBGR colours[2];
    int count = 0;
    for (int y = 0; y < height && count <= 2; ++y) {
        const uint8_t* row = view->ScanLine(y);
        for (int x = 0; x < width; ++x) {
            const TIOColorBGR c = PixelAt(row, x);
            if (count >= 1 && c == colours[0]) continue;
            if (count >= 2 && c == colours[1]) continue;
            if (count == 2) {
                count = 3;
                break;
            }
            colours[count++] = c;
        }
    }
    if (count != 2) return ConvertedCopy(*view, io1g);

    // Ties go to the colour met first, which becomes 0.
    const TIOColorBGR one = PngLuminance(colours[1]) < PngLuminance(colours[0]) ? colours[0] : colours[1];
    auto bits = std::make_unique<TIOBitmap>();
    bits->SetLocation(ioMemory);
    if (!bits->Allocate(width, height, io1g)) RaisePngError();
    const size_t rowBytes = static_cast<size_t>(bits->RowLength());
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = view->ScanLine(y);
        uint8_t* out = bits->ScanLine(y);
        std::memset(out, 0, rowBytes);
        for (int x = 0; x < width; ++x) {
            if (PixelAt(in, x) == one) out[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
    }
    return bits;
}

// Whether the picture is grey: every pixel (or every palette entry) has blue = green = red;
// grey formats count as grey.
bool IsGreyPicture(TIOBitmap& work) {
    switch (work.PixelFormat()) {
        case io24RGB: {
            const int width = work.Width();
            for (int y = 0; y < work.Height(); ++y) {
                const uint8_t* p = work.ScanLine(y);
                for (int x = 0; x < width; ++x, p += 3) {
                    if (p[0] != p[1] || p[1] != p[2]) return false;
                }
            }
            return true;
        }
        case io8p:
            for (int i = 0; i < work.PaletteCount(); ++i) {
                const TIOColorBGR c = work.PaletteColor(i);
                if (c.B != c.G || c.G != c.R) return false;
            }
            return true;
        default:
            return true;
    }
}

png_color ToPng(TIOColorBGR c) { return png_color{c.R, c.G, c.B}; }

// Index of a colour in the quantizer's map, kept inside the map.
int MapIndex(TIOQuantizer& quantizer, TIOColorBGR colour, int ncol) {
    return std::clamp(quantizer.MapColor(colour), 0, ncol - 1);
}

// How the rows are produced, decided once per image.
enum class RowKind {
    Bgr,             // colour type 2: the buffer's own rows
    Bgra,            // colour type 6: B, G, R and the mask byte
    MaskedPalette,   // colour type 3, entry 0 transparent, others the quantizer's map + 1
    Indices,         // colour type 3 from an io8p buffer: its own indices
    Quantized,       // colour type 3 from a 24-bit buffer: the quantizer's indices
    Grey,            // colour type 0, depth 8 or 16, from grey levels
    OneBit,          // colour type 0, depth 1: the 1-bit buffer's rows
};

// The grey level of pixel x of a grey picture's row.
uint8_t GreyLevel(TIOBitmap& work, const uint8_t* row, int x) {
    switch (work.PixelFormat()) {
        case io24RGB: return row[static_cast<size_t>(x) * 3 + 2];
        case io8p: return work.PaletteColor(row[x]).R;
        default: return row[x];
    }
}

}  // namespace

uint32_t PngPixelsPerMetre(int dpi) {
    if (dpi <= 0) return 0;
    return static_cast<uint32_t>(std::llround(static_cast<double>(dpi) * 100.0 / 2.54));
}

int PngLuminance(TIOColorBGR c) {
    const int sum = 21 * c.R + 71 * c.G + 8 * c.B;
    int q = sum / 100;
    const int r = sum % 100;
    if (r > 50 || (r == 50 && q % 2 != 0)) ++q;
    return q;
}

TIOMask::TIOMask(int width, int height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      bytes_(static_cast<size_t>(width_) * static_cast<size_t>(height_), 255) {}

TIOMask TIOMask::FromAlphaChannel(TIOBitmap& alpha) {
    TIOMask mask(alpha.Width(), alpha.Height());
    for (int y = 0; y < mask.height_; ++y) {
        std::memcpy(mask.ScanLine(y), alpha.ScanLine(y), static_cast<size_t>(mask.width_));
    }
    mask.Full = alpha.Full();
    return mask;
}

void WritePngImage(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params, const TIOMask* mask,
                   TIOProgressRecord& progress) {
    uint8_t localAbort = 0;
    uint8_t* abortFlag = progress.AbortFlag != nullptr ? progress.AbortFlag : &localAbort;

    // 1-2. Write and info structures, output through the stream.
    PngWriteHandle handle;
    handle.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, ErrorHook, WarningHook);
    if (handle.png == nullptr) RaisePngError();
    handle.info = png_create_info_struct(handle.png);
    if (handle.info == nullptr) RaisePngError();
    PngWriteContext context{&stream, abortFlag};
    png_set_write_fn(handle.png, &context, WriteHook, FlushHook);

    // 3. Grey and palette output only have depths 1, 8 and 16 here.
    const bool single = params.SamplesPerPixel == 1;
    if (single && params.BitsPerSample != 1 && params.BitsPerSample != 8 && params.BitsPerSample != 16)
        params.BitsPerSample = 8;
    const int bitsPerSample = params.BitsPerSample;

    const int width = bitmap.Width();
    const int height = bitmap.Height();
    const bool empty = width == 0 || height == 0;  // the library refuses it at the header
    const bool effectiveMask = mask != nullptr && !mask->Full;
    if (effectiveMask && !empty && (mask->Width() != width || mask->Height() != height)) RaisePngError();

    // 4. Working buffer.
    std::unique_ptr<TIOBitmap> copy;
    TIOBitmap* work = &bitmap;
    if (!empty) {
        const TIOPixelFormatId format = bitmap.PixelFormat();
        if (single && bitsPerSample == 1) {
            if (format != io1g) copy = OneBitCopy(bitmap);
        } else if (single) {
            // Formats the grey and palette rows cannot read come as 24-bit pixels; a palette
            // picture with a mask needs room for the transparent entry, so it is re-mapped too.
            const bool readable = format == io1g || format == io8g || format == io24RGB ||
                                  (format == io8p && !effectiveMask);
            if (!readable) copy = ConvertedCopy(bitmap, io24RGB);
        } else if (format != io24RGB) {
            copy = ConvertedCopy(bitmap, io24RGB);
        }
        if (copy) work = copy.get();
    }
    if (empty) {
        // The library refuses a zero dimension at the header; nothing has reached the stream.
        PngHeader refused{};
        refused.bitDepth = 8;
        refused.colorType = PNG_COLOR_TYPE_RGB;
        refused.compressionLevel = params.PngCompressionLevel;
        TryWriteHeader(handle.png, handle.info, refused);
        RaisePngError();
    }
    const TIOPixelFormatId workFormat = work->PixelFormat();

    PngHeader header{};
    header.width = static_cast<png_uint_32>(width);
    header.height = static_cast<png_uint_32>(height);
    // 5. Interlacing.
    header.interlace = params.PngInterlaced != 0 ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;

    // 6-7. Colour type, depth, palette.
    RowKind kind = RowKind::Bgr;
    std::unique_ptr<TIOQuantizer> quantizer;
    int ncol = 256;
    std::vector<TIOColorBGR> colorMap(256);
    std::vector<png_color> palette;
    header.bitDepth = 8;
    if (!single) {
        header.colorType = effectiveMask ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
        kind = effectiveMask ? RowKind::Bgra : RowKind::Bgr;
    } else if (workFormat == io1g) {
        header.colorType = PNG_COLOR_TYPE_GRAY;
        header.bitDepth = 1;
        kind = RowKind::OneBit;
    } else if (effectiveMask) {
        // Entry 0 is the background colour, fully transparent; the picture's colours follow.
        header.colorType = PNG_COLOR_TYPE_PALETTE;
        kind = RowKind::MaskedPalette;
        ncol = std::min(1 << std::min(bitsPerSample, 16), 255);
        quantizer = std::make_unique<TIOQuantizer>(*work, colorMap.data(), ncol);
        palette.push_back(ToPng(params.PngBackgroundColor));
        for (int i = 0; i < 255; ++i) palette.push_back(ToPng(colorMap[static_cast<size_t>(i)]));
        palette.resize(static_cast<size_t>(std::min((1 << std::min(bitsPerSample, 16)) + 1, 256)));
        header.transparentEntry0 = true;
    } else if (IsGreyPicture(*work)) {
        header.colorType = PNG_COLOR_TYPE_GRAY;
        header.bitDepth = bitsPerSample;
        kind = RowKind::Grey;
    } else {
        header.colorType = PNG_COLOR_TYPE_PALETTE;
        header.bitDepth = bitsPerSample;
        if (workFormat == io8p) {
            // The picture's own palette, padded so that every index byte names an entry.
            kind = RowKind::Indices;
            for (int i = 0; i < std::min(work->PaletteCount(), 256); ++i) colorMap[static_cast<size_t>(i)] = work->PaletteColor(i);
        } else {
            kind = RowKind::Quantized;
            quantizer = std::make_unique<TIOQuantizer>(*work, colorMap.data(), ncol);
        }
        for (const TIOColorBGR& c : colorMap) palette.push_back(ToPng(c));
    }
    if (!palette.empty()) {
        header.palette = palette.data();
        header.paletteCount = static_cast<int>(palette.size());
    }

    // 9. Resolution.
    header.resolutionX = PngPixelsPerMetre(params.HorizontalDpi);
    header.resolutionY = PngPixelsPerMetre(params.VerticalDpi);

    // 10. One filter for every row, or the library's own choice.
    switch (params.PngFilter) {
        case 0: header.filter = PNG_FILTER_NONE; break;
        case 1: header.filter = PNG_FILTER_SUB; break;
        case 2: header.filter = PNG_FILTER_PAETH; break;
        default: header.filter = -1; break;
    }

    // 11. Background. For colour output the 16-bit widening means only black fits an 8-bit
    // image; the library then leaves the chunk out with a warning.
    const TIOColorBGR bg = params.PngBackgroundColor;
    header.hasBackground = true;
    switch (kind) {
        case RowKind::MaskedPalette:
            header.background.index = 0;  // the entry that holds the background colour
            break;
        case RowKind::Quantized: {
            const int index = quantizer->MapColor(bg);
            header.hasBackground = index >= 0;
            header.background.index = static_cast<png_byte>(std::max(index, 0));
            break;
        }
        case RowKind::Indices: {
            const auto found = std::find(colorMap.begin(), colorMap.end(), bg);
            header.hasBackground = found != colorMap.end();
            header.background.index = static_cast<png_byte>(found - colorMap.begin());
            break;
        }
        case RowKind::Grey:
            header.background.gray = static_cast<png_uint_16>(bg.R * (bitsPerSample == 16 ? 257 : 1));
            break;
        case RowKind::OneBit:
            header.background.gray = PngLuminance(bg) >= 128 ? 1 : 0;
            break;
        default:
            header.background.red = static_cast<png_uint_16>(bg.R * 257);
            header.background.green = static_cast<png_uint_16>(bg.G * 257);
            header.background.blue = static_cast<png_uint_16>(bg.B * 257);
            break;
    }

    // 12. zlib level.
    header.compressionLevel = params.PngCompressionLevel;

    // 14. Text chunks: one per key/value pair, from private copies.
    const size_t textCount = std::min(params.PngTextKeys.size(), params.PngTextValues.size());
    std::vector<std::string> keys(params.PngTextKeys.begin(), params.PngTextKeys.begin() + static_cast<std::ptrdiff_t>(textCount));
    std::vector<std::string> values(params.PngTextValues.begin(), params.PngTextValues.begin() + static_cast<std::ptrdiff_t>(textCount));
    std::vector<png_text> texts(textCount);
    for (size_t i = 0; i < textCount; ++i) {
        texts[i].compression = PNG_TEXT_COMPRESSION_NONE;
        texts[i].key = keys[i].data();
        texts[i].text = values[i].data();
        texts[i].text_length = values[i].size();
    }
    header.texts = texts.empty() ? nullptr : texts.data();
    header.textCount = static_cast<int>(textCount);

    // 8-15. Header chunks.
    if (!TryWriteHeader(handle.png, handle.info, header)) RaisePngError();

    // 16. Passes and progress.
    int passes = 1;
    if (!TryInterlaceHandling(handle.png, &passes)) RaisePngError();
    const int64_t totalRows = static_cast<int64_t>(height) * passes;
    progress.Scale = 100.0 / static_cast<double>(totalRows);
    progress.Counter = 0;

    // Row buffers, allocated once.
    std::vector<uint8_t> rowBuffer;
    if (kind == RowKind::Bgra) {
        rowBuffer.resize(static_cast<size_t>(width) * 4);
    } else if (kind == RowKind::MaskedPalette || kind == RowKind::Quantized || kind == RowKind::Grey) {
        rowBuffer.resize(static_cast<size_t>(width) * (header.bitDepth == 16 ? 2 : 1));
    }

    // Rows: every pass takes every row; the library picks the pixels of its pass.
    bool stop = false;
    for (int pass = 0; pass < passes && !stop; ++pass) {
        for (int y = 0; y < height; ++y) {
            uint8_t* in = work->ScanLine(y);
            png_bytep row = rowBuffer.data();
            switch (kind) {
                case RowKind::Bgr:
                case RowKind::Indices:
                case RowKind::OneBit:
                    row = in;
                    break;
                case RowKind::Bgra: {
                    const uint8_t* alpha = mask->ScanLine(y);
                    for (int x = 0; x < width; ++x) {
                        std::memcpy(&rowBuffer[static_cast<size_t>(x) * 4], in + static_cast<size_t>(x) * 3, 3);
                        rowBuffer[static_cast<size_t>(x) * 4 + 3] = alpha[x];
                    }
                    break;
                }
                case RowKind::MaskedPalette: {
                    const uint8_t* alpha = mask->ScanLine(y);
                    for (int x = 0; x < width; ++x) {
                        rowBuffer[static_cast<size_t>(x)] =
                            alpha[x] < 255 ? 0
                                           : static_cast<uint8_t>(MapIndex(*quantizer, PixelAt(in, x), ncol) + 1);
                    }
                    break;
                }
                case RowKind::Quantized:
                    for (int x = 0; x < width; ++x) {
                        rowBuffer[static_cast<size_t>(x)] = static_cast<uint8_t>(MapIndex(*quantizer, PixelAt(in, x), ncol));
                    }
                    break;
                case RowKind::Grey:
                    for (int x = 0; x < width; ++x) {
                        const uint8_t level = GreyLevel(*work, in, x);
                        if (header.bitDepth == 16) {
                            // Big-endian samples; v x 257 spreads 0..255 over 0..65535.
                            rowBuffer[static_cast<size_t>(x) * 2] = level;
                            rowBuffer[static_cast<size_t>(x) * 2 + 1] = level;
                        } else {
                            rowBuffer[static_cast<size_t>(x)] = level;
                        }
                    }
                    break;
            }
            if (!TryWriteRow(handle.png, row)) RaisePngError();
            ++progress.Counter;
            if (progress.Handler != nullptr) {
                // Exact integer percentage (see the JPEG writer): a call on every row.
                progress.Report(static_cast<int>(static_cast<int64_t>(progress.Counter) * 100 / totalRows));
            }
            if (*abortFlag != 0) {
                stop = true;
                break;
            }
        }
    }

    // IDAT flush and IEND, unless stopped.
    if (*abortFlag == 0 && !TryWriteEnd(handle.png, handle.info)) RaisePngError();
}

void WritePngWithMask(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params,
                      TIOProgressRecord& progress) {
    if (bitmap.HasAlphaChannel()) {
        const TIOMask mask = TIOMask::FromAlphaChannel(bitmap.AlphaChannel());
        WritePngImage(stream, bitmap, params, &mask, progress);
    } else {
        WritePngImage(stream, bitmap, params, nullptr, progress);
    }
}
