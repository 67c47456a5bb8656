// The JPEG marker list: copies of marker payloads and the order they are written in.
#include "imageio/marker_list.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

constexpr uint8_t kApp1 = 0xE1;
constexpr uint8_t kApp2 = 0xE2;

// The XMP namespace identifier that opens an XMP APP1 payload, terminator included (29 bytes).
constexpr char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";
// "ICC_PROFILE" and its terminator; the chunk's sequence number follows at byte 12.
constexpr char kIccSignature[] = "ICC_PROFILE";
constexpr size_t kIccSequenceOffset = sizeof(kIccSignature);

bool IsIccChunk(const TIOMarker& m) {
    return m.Code == kApp2 && m.Data.size() > 13 &&
           std::memcmp(m.Data.data(), kIccSignature, sizeof(kIccSignature)) == 0;
}

// Sort key: code first; among APP2 entries the ICC chunks follow the others, ordered by their
// sequence number. A full key (rather than a pairwise rule) keeps the ordering consistent when
// ICC chunks and other APP2 entries are mixed.
struct SortKey {
    uint8_t code;
    uint8_t icc;
    uint8_t sequence;
    auto operator<=>(const SortKey&) const = default;
};

SortKey KeyOf(const TIOMarker& m) {
    if (IsIccChunk(m)) return {m.Code, 1, m.Data[kIccSequenceOffset]};
    return {m.Code, 0, 0};
}

std::vector<uint8_t> CopyOf(const uint8_t* data, uint16_t length) {
    if (length == 0) return {};
    if (data == nullptr) throw std::invalid_argument("marker payload without data");
    return std::vector<uint8_t>(data, data + length);
}

}  // namespace

bool IsExifPayload(const uint8_t* data, size_t length) {
    static constexpr uint8_t kExif[] = {'E', 'x', 'i', 'f', 0};
    return data != nullptr && length >= sizeof(kExif) && std::memcmp(data, kExif, sizeof(kExif)) == 0;
}

bool IsXmpPayload(const uint8_t* data, size_t length) {
    // 24 bytes are enough to tell the identifier apart; a packet needs at least one byte
    // beyond the 29-byte identifier.
    return data != nullptr && length >= 30 && std::memcmp(data, kXmpSignature, 24) == 0;
}

uint8_t* TIOMarkerList::MarkerPayload(int index) {
    TIOMarker& m = (*this)[index];
    return m.Data.empty() ? nullptr : m.Data.data();
}

const uint8_t* TIOMarkerList::MarkerPayload(int index) const {
    const TIOMarker& m = (*this)[index];
    return m.Data.empty() ? nullptr : m.Data.data();
}

uint16_t TIOMarkerList::MarkerPayloadLength(int index) const {
    return static_cast<uint16_t>((*this)[index].Data.size());
}

void TIOMarkerList::AppendMarker(uint8_t code, const uint8_t* data, uint16_t length) {
    markers_.push_back({code, CopyOf(data, length)});
}

void TIOMarkerList::ReplaceMarker(int index, uint8_t code, const uint8_t* data, uint16_t length) {
    TIOMarker& m = (*this)[index];
    std::vector<uint8_t> copy = CopyOf(data, length);
    m.Code = code;
    m.Data = std::move(copy);
}

int TIOMarkerList::FindMarker(uint8_t code) const {
    for (size_t i = 0; i < markers_.size(); ++i) {
        if (markers_[i].Code == code) return static_cast<int>(i);
    }
    return -1;
}

void TIOMarkerList::RemoveMarker(int index) {
    (void)(*this)[index];  // range check
    markers_.erase(markers_.begin() + index);
}

void TIOMarkerList::CopyMarkers(const TIOMarkerList* other) {
    if (other == nullptr || other == this) return;
    markers_ = other->markers_;
}

void TIOMarkerList::SwapMarkers(int i, int j) {
    std::swap((*this)[i], (*this)[j]);
}

void TIOMarkerList::SortMarkers() {
    std::stable_sort(markers_.begin(), markers_.end(),
                     [](const TIOMarker& a, const TIOMarker& b) { return KeyOf(a) < KeyOf(b); });

    // Readers look for EXIF in the first APP1 segment, so an EXIF entry takes the place of the
    // first APP1 (XMP, for instance).
    const int first = FindMarker(kApp1);
    if (first < 0) return;
    for (int i = first + 1; i < Count(); ++i) {
        const TIOMarker& m = markers_[static_cast<size_t>(i)];
        if (m.Code == kApp1 && IsExifPayload(m.Data.data(), m.Data.size())) SwapMarkers(first, i);
    }
}
