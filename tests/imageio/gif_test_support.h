// Helpers of the GIF and quantizer tests: pictures made in code, and GIF decoding with giflib,
// a decoder we did not write.
#pragma once

#include "imageio/bitmap.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace giftest {

// A picture in memory whose pixel (x, y) is colour(x, y).
inline std::unique_ptr<TIOBitmap> MakePicture(int width, int height, TIOPixelFormatId format,
                                              const std::function<TIOColorBGR(int, int)>& colour) {
    auto picture = std::make_unique<TIOBitmap>();
    picture->SetLocation(ioMemory);
    if (!picture->Allocate(width, height, format)) return nullptr;
    const int step = format == io32RGB ? 4 : 3;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = picture->ScanLine(y);
        std::memset(row, 0, static_cast<size_t>(picture->RowLength()));
        for (int x = 0; x < width; ++x) {
            const TIOColorBGR c = colour(x, y);
            uint8_t* p = row + static_cast<size_t>(x) * step;
            p[0] = c.B;
            p[1] = c.G;
            p[2] = c.R;
            if (step == 4) p[3] = static_cast<uint8_t>(x * 7 + y);   // carries no colour
        }
    }
    return picture;
}

// A picture with more than 256 colours: smooth gradients in all three channels.
inline std::unique_ptr<TIOBitmap> GradientPicture(int width, int height, TIOPixelFormatId format = io24RGB) {
    return MakePicture(width, height, format, [width, height](int x, int y) {
        return RGBColor(static_cast<uint8_t>(x * 255 / std::max(1, width - 1)),
                        static_cast<uint8_t>(y * 255 / std::max(1, height - 1)),
                        static_cast<uint8_t>((x + y) * 255 / std::max(1, width + height - 2)));
    });
}

struct DecodedGif {
    int width = 0;
    int height = 0;
    std::vector<TIOColorBGR> palette;   // the global colour table
    std::vector<uint8_t> indices;       // rows from the top, de-interlaced
    int transparentIndex = -1;          // -1: no transparency
    int disposal = -1;
    bool interlaced = false;
    std::vector<std::string> comments;

    TIOColorBGR PixelColour(int x, int y) const {
        return palette[indices[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)]];
    }
};

struct MemoryReader {
    const std::vector<uint8_t>* bytes;
    size_t position;
};

inline int ReadFromMemory(GifFileType* gif, GifByteType* out, int count) {
    auto* reader = static_cast<MemoryReader*>(gif->UserData);
    const size_t n = std::min(static_cast<size_t>(count), reader->bytes->size() - reader->position);
    std::memcpy(out, reader->bytes->data() + reader->position, n);
    reader->position += n;
    return static_cast<int>(n);
}

// Reads one extension's sub-blocks. giflib's DGifSlurp asks for a further sub-block even when
// the first one was the terminator, so an extension without data (as our empty comment) would
// make it read past the end; walking the records ourselves avoids that.
inline bool ReadExtension(GifFileType* gif, DecodedGif& d, std::vector<uint8_t>& control) {
    int function = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &function, &block) != GIF_OK) return false;
    std::string text;
    while (block != nullptr) {
        if (function == GRAPHICS_EXT_FUNC_CODE) control.assign(block + 1, block + 1 + block[0]);
        if (function == COMMENT_EXT_FUNC_CODE) text.append(reinterpret_cast<const char*>(block + 1), block[0]);
        if (DGifGetExtensionNext(gif, &block) != GIF_OK) return false;
    }
    if (function == COMMENT_EXT_FUNC_CODE) d.comments.push_back(text);
    return true;
}

inline bool ReadImage(GifFileType* gif, DecodedGif& d) {
    if (DGifGetImageDesc(gif) != GIF_OK) return false;
    d.width = gif->Image.Width;
    d.height = gif->Image.Height;
    d.interlaced = gif->Image.Interlace;
    d.indices.assign(static_cast<size_t>(d.width) * static_cast<size_t>(d.height), 0);
    std::vector<int> rows;
    if (d.interlaced) {
        for (int pass = 0; pass < 4; ++pass) {
            static const int kFirst[4] = {0, 4, 2, 1};
            static const int kStep[4] = {8, 8, 4, 2};
            for (int y = kFirst[pass]; y < d.height; y += kStep[pass]) rows.push_back(y);
        }
    } else {
        for (int y = 0; y < d.height; ++y) rows.push_back(y);
    }
    for (int y : rows) {
        if (DGifGetLine(gif, d.indices.data() + static_cast<size_t>(y) * static_cast<size_t>(d.width), d.width) != GIF_OK) return false;
    }
    return true;
}

// Decodes the first image of a GIF file, with its global colour table, transparency and
// comments; nothing when giflib refuses the file or it has no image or no trailer.
inline std::optional<DecodedGif> DecodeGif(const std::vector<uint8_t>& bytes) {
    MemoryReader reader{&bytes, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, ReadFromMemory, &error);
    if (gif == nullptr) return std::nullopt;
    DecodedGif d;
    std::vector<uint8_t> control;
    bool ok = gif->SColorMap != nullptr;
    bool haveImage = false;
    bool ended = false;
    if (ok) {
        for (int i = 0; i < gif->SColorMap->ColorCount; ++i) {
            const GifColorType& c = gif->SColorMap->Colors[i];
            d.palette.push_back(RGBColor(c.Red, c.Green, c.Blue));
        }
    }
    while (ok && !ended) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) != GIF_OK) break;
        switch (type) {
        case EXTENSION_RECORD_TYPE: ok = ReadExtension(gif, d, control); break;
        case IMAGE_DESC_RECORD_TYPE:
            ok = !haveImage && ReadImage(gif, d);
            haveImage = true;
            break;
        case TERMINATE_RECORD_TYPE: ended = true; break;
        default: ok = false; break;
        }
    }
    DGifCloseFile(gif, &error);
    if (!ok || !haveImage || !ended) return std::nullopt;
    if (control.size() == 4) {
        d.disposal = (control[0] >> 2) & 7;
        d.transparentIndex = (control[0] & 1) ? control[3] : -1;
    }
    return d;
}

}  // namespace giftest
