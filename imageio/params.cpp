// The save parameters' defaults.
#include "imageio/params.h"

#include "imageio/image_io.h"

// The owner is still being built while its record is: it has no bitmap to read the size from.
TIOParamsVals::TIOParamsVals(TImageIO* owner) : owner_(nullptr) {
    SetDefaultParams();
    owner_ = owner;
}

void TIOParamsVals::SetDefaultParams() {
    ColorMap.clear();
    ColorMapCount = 0;
    FileName.clear();
    FileType = 0;
    BitsPerSample = 8;
    SamplesPerPixel = 3;
    NativePixelFormat = false;
    ParamWidth = 0;
    ParamHeight = 0;
    if (owner_ != nullptr) {
        if (TBitmap* bitmap = owner_->GetBitmap()) {
            ParamWidth = bitmap->Width();
            ParamHeight = bitmap->Height();
        }
    }
    HorizontalDpi = DefaultDpi.Horizontal;
    VerticalDpi = DefaultDpi.Vertical;

    GifVersion = "GIF89a";
    GifImageLeft = 0;
    GifImageTop = 0;
    GifDelayTime = 0;
    GifTransparent = 0;
    GifTransparentColor = TIOColorBGR{};
    GifInterlaced = 0;
    GifBackgroundColor = TIOColorBGR{};
    GifComments.clear();
    GifDisposalMethod = 2;
    GifLzwDecoder = nullptr;
    GifLzwEncoder = DefaultGifLzwEncoder;

    JpegColorSpace = 2;
    JpegQuality = 80;
    JpegDctMethod = 0;
    JpegChromaSampling = 1;
    JpegOptimalHuffman = 0;
    JpegSmoothing = 0;
    JpegProgressive = 0;
    JpegMarkers.Clear();

    BmpHeaderKind = 1;
    BmpCompression = 0;
    BmpWriteAlpha = 0;

    PngInterlaced = 0;
    PngBackgroundColor = TIOColorBGR{};
    PngFilter = 0;
    PngCompressionLevel = 5;
    PngTextKeys.clear();
    PngTextValues.clear();

    IptcInfo.Clear();  // clearing marks the list changed
    ExifPresent = 0;
    XmpText.clear();
}
