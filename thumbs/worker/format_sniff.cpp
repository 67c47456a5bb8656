// Content sniffing for the worker's allow-list.
#include "thumbs/worker/format_sniff.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool StartsWith(const uint8_t* head, size_t length, const char* magic, size_t magicLength) {
    return length >= magicLength && std::memcmp(head, magic, magicLength) == 0;
}

uint32_t LE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool IsBmp(const uint8_t* head, size_t length) {
    if (!StartsWith(head, length, "BM", 2) || length < 18) return false;
    // The info header's own size names its version; only the known ones are bitmaps.
    const uint32_t infoSize = LE32(head + 14);
    return infoSize == 12 || infoSize == 40 || infoSize == 52 || infoSize == 56 || infoSize == 64 ||
           infoSize == 108 || infoSize == 124;
}

bool IsPdf(const uint8_t* head, size_t length) {
    // Readers accept the header anywhere in the first kilobyte (some files carry a preamble).
    const size_t window = std::min<size_t>(length, 1024);
    static const char kMagic[] = "%PDF-";
    for (size_t i = 0; i + 5 <= window; ++i) {
        if (std::memcmp(head + i, kMagic, 5) == 0) return true;
    }
    return false;
}

}  // namespace

bool LooksLikeSvg(const uint8_t* text, size_t length) {
    size_t i = 0;
    if (length >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) i = 3;
    while (i < length && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
    if (i >= length || text[i] != '<') return false;
    const size_t window = std::min(length, kSniffBytes);
    for (size_t j = i; j + 5 <= window; ++j) {
        if (text[j] != '<') continue;
        // "<svg" or a prefixed "<x:svg", followed by a name delimiter.
        size_t k = j + 1;
        size_t colon = k;
        while (colon < window && colon < k + 32 &&
               (std::isalnum(text[colon]) || text[colon] == '_' || text[colon] == '-' || text[colon] == '.'))
            ++colon;
        if (colon < window && text[colon] == ':') k = colon + 1;
        if (k + 4 <= window && std::memcmp(text + k, "svg", 3) == 0) {
            const uint8_t after = text[k + 3];
            if (after == ' ' || after == '\t' || after == '\r' || after == '\n' || after == '>' || after == '/')
                return true;
        }
    }
    return false;
}

SniffedFormat SniffFormat(const uint8_t* head, size_t length) {
    if (StartsWith(head, length, "\xFF\xD8\xFF", 3)) return SniffedFormat::Jpeg;
    if (StartsWith(head, length, "\x89PNG\r\n\x1A\n", 8)) return SniffedFormat::Png;
    if (StartsWith(head, length, "GIF87a", 6) || StartsWith(head, length, "GIF89a", 6)) return SniffedFormat::Gif;
    if (IsBmp(head, length)) return SniffedFormat::Bmp;
    if (length >= 12 && StartsWith(head, length, "RIFF", 4) && std::memcmp(head + 8, "WEBP", 4) == 0)
        return SniffedFormat::WebP;
    if (StartsWith(head, length, "II*\0", 4) || StartsWith(head, length, "MM\0*", 4) ||
        StartsWith(head, length, "II+\0", 4) || StartsWith(head, length, "MM\0+", 4))
        return SniffedFormat::Tiff;
    if (IsPdf(head, length)) return SniffedFormat::Pdf;
    if (StartsWith(head, length, "\x1F\x8B", 2)) return SniffedFormat::SvgGzip;  // checked once inflated
    if (LooksLikeSvg(head, length)) return SniffedFormat::Svg;
    return SniffedFormat::Unknown;
}

const char* QtReaderFormat(SniffedFormat format) {
    switch (format) {
    case SniffedFormat::Png: return "png";
    case SniffedFormat::Gif: return "gif";
    case SniffedFormat::Bmp: return "bmp";
    case SniffedFormat::WebP: return "webp";
    case SniffedFormat::Tiff: return "tiff";
    default: return nullptr;
    }
}
