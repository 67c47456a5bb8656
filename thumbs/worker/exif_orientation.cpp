// EXIF orientation reader: the TIFF header, IFD0, tag 0x0112.
#include "thumbs/worker/exif_orientation.h"

#include <cstring>

namespace {

struct TiffReader {
    const uint8_t* data;
    size_t length;
    bool bigEndian;

    bool U16(size_t offset, uint16_t& value) const {
        if (offset > length || length - offset < 2) return false;
        const uint8_t* p = data + offset;
        value = bigEndian ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
        return true;
    }
    bool U32(size_t offset, uint32_t& value) const {
        if (offset > length || length - offset < 4) return false;
        const uint8_t* p = data + offset;
        value = bigEndian ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
                          : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
        return true;
    }
};

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kTypeShort = 3;

}  // namespace

int ExifOrientation(const uint8_t* app1, size_t length) {
    if (length < 6 || std::memcmp(app1, "Exif\0\0", 6) != 0) return 1;
    TiffReader tiff{app1 + 6, length - 6, false};
    if (tiff.length < 8) return 1;
    if (std::memcmp(tiff.data, "II*\0", 4) == 0) {
        tiff.bigEndian = false;
    } else if (std::memcmp(tiff.data, "MM\0*", 4) == 0) {
        tiff.bigEndian = true;
    } else {
        return 1;
    }
    uint32_t ifd = 0;
    uint16_t count = 0;
    if (!tiff.U32(4, ifd) || !tiff.U16(ifd, count)) return 1;
    // 12 bytes an entry; U16 below refuses entries beyond the block, so a lying count stops there.
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = size_t(ifd) + 2 + size_t(i) * 12;
        uint16_t tag = 0, type = 0, value = 0;
        uint32_t valueCount = 0;
        if (!tiff.U16(entry, tag) || !tiff.U16(entry + 2, type) || !tiff.U32(entry + 4, valueCount)) return 1;
        if (tag != kOrientationTag) continue;
        if (type != kTypeShort || valueCount != 1 || !tiff.U16(entry + 8, value)) return 1;
        return value >= 1 && value <= 8 ? value : 1;
    }
    return 1;
}
