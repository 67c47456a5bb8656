// TIOParamsVals: the per-image save parameters, with their defaults, and the process-wide
// settings the image output reads.
#pragma once

#include "imageio/colors.h"
#include "imageio/marker_list.h"

#include <cstdint>
#include <string>
#include <vector>

class TIOStream;
class TImageIO;

using TStringList = std::vector<std::string>;

// Compresses index rows for a GIF image: writes the minimum code size, the sub-blocks and the
// terminator to the stream.
using TIOGifLzwEncoder = void (*)(TIOStream& stream, int height, int width, bool interlaced,
                                  const uint8_t* indices, int bitsPerPixel);
// The GIF decoder slot exists for completeness; nothing on the save path calls it.
using TIOGifLzwDecoder = void (*)();

// The IPTC records destined for a JPEG APP13 marker.
struct TIOIPTCRecord {
    uint8_t Record = 0;
    uint8_t DataSet = 0;
    std::string Data;
};

class TIOIPTCInfoList {
public:
    int Count() const { return static_cast<int>(records_.size()); }
    void Clear() {
        records_.clear();
        Changed = true;
    }
    void Add(TIOIPTCRecord record) {
        records_.push_back(std::move(record));
        Changed = true;
    }
    const std::vector<TIOIPTCRecord>& Items() const { return records_; }
    bool Changed = false;

private:
    std::vector<TIOIPTCRecord> records_;
};

// Process-wide settings, fixed for the life of the program.
struct TIODpi {
    int Horizontal;
    int Vertical;
};
inline constexpr TIODpi DefaultDpi{300, 300};
// -1: the quantizer picks its method and sampling factor itself.
inline constexpr int QuantizerMethod = -1;
inline constexpr int QuantizerQuality = -1;
// The built-in GIF LZW encoder, GifLzwCompress; every parameters record starts with a copy.
extern TIOGifLzwEncoder DefaultGifLzwEncoder;

class TIOParamsVals {
public:
    explicit TIOParamsVals(TImageIO* owner = nullptr);
    // Every field back to its default; the size comes from the owner's bitmap, if any.
    void SetDefaultParams();
    TImageIO* Owner() const { return owner_; }

    int BitsPerSample = 8;
    std::string FileName;
    int SamplesPerPixel = 3;
    int ParamWidth = 0;
    int ParamHeight = 0;
    int HorizontalDpi = DefaultDpi.Horizontal;
    int VerticalDpi = DefaultDpi.Vertical;
    int FileType = 0;

    std::string GifVersion = "GIF89a";
    int GifImageLeft = 0;
    int GifImageTop = 0;
    int GifDelayTime = 0;
    uint8_t GifTransparent = 0;
    TIOColorBGR GifTransparentColor{};
    uint8_t GifInterlaced = 0;
    TIOColorBGR GifBackgroundColor{};
    TStringList GifComments;
    uint8_t GifDisposalMethod = 2;
    TIOGifLzwDecoder GifLzwDecoder = nullptr;
    TIOGifLzwEncoder GifLzwEncoder = DefaultGifLzwEncoder;

    uint8_t JpegColorSpace = 2;
    int JpegQuality = 80;
    uint8_t JpegDctMethod = 0;
    uint8_t JpegChromaSampling = 1;
    uint8_t JpegOptimalHuffman = 0;
    int JpegSmoothing = 0;
    uint8_t JpegProgressive = 0;
    TIOMarkerList JpegMarkers;

    uint8_t BmpHeaderKind = 1;
    uint8_t BmpCompression = 0;
    uint8_t BmpWriteAlpha = 0;

    uint8_t PngInterlaced = 0;
    TIOColorBGR PngBackgroundColor{};
    uint8_t PngFilter = 0;
    int PngCompressionLevel = 5;
    TStringList PngTextKeys;
    TStringList PngTextValues;

    TIOIPTCInfoList IptcInfo;
    uint8_t ExifPresent = 0;
    std::string XmpText;
    bool NativePixelFormat = false;

    // Palette of the last paletted write (the BMP writer replaces it).
    std::vector<TIOColorBGR> ColorMap;
    int ColorMapCount = 0;

private:
    TImageIO* owner_;
};
