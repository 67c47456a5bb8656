// TIOMarkerList: the JPEG markers (APPn, COM) that a save copies into the file, in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct TIOMarker {
    uint8_t Code = 0;             // marker code, for example 0xE1 for APP1
    std::vector<uint8_t> Data;    // payload without the marker and length bytes
};

// True when a payload starts with the zero-terminated text "Exif" (the terminator must lie
// inside the payload).
bool IsExifPayload(const uint8_t* data, size_t length);
// True when a payload is long enough to carry an XMP packet and starts like the XMP
// namespace identifier.
bool IsXmpPayload(const uint8_t* data, size_t length);

// Every operation takes 0-based indices; an index out of range throws std::out_of_range.
class TIOMarkerList {
public:
    int Count() const { return static_cast<int>(markers_.size()); }
    const TIOMarker& operator[](int index) const { return markers_.at(static_cast<size_t>(index)); }
    TIOMarker& operator[](int index) { return markers_.at(static_cast<size_t>(index)); }
    void Clear() { markers_.clear(); }
    void AddMarker(uint8_t code, std::vector<uint8_t> data) { markers_.push_back({code, std::move(data)}); }
    std::vector<TIOMarker>& Items() { return markers_; }
    const std::vector<TIOMarker>& Items() const { return markers_; }

    int MarkerCount() const { return Count(); }
    uint8_t MarkerCode(int index) const { return (*this)[index].Code; }
    // Address of the payload bytes (changes in place are allowed); null for an empty payload.
    uint8_t* MarkerPayload(int index);
    const uint8_t* MarkerPayload(int index) const;
    // A segment's length field has 16 bits, so a payload never exceeds 65535 bytes.
    uint16_t MarkerPayloadLength(int index) const;

    // Copies `length` bytes into a new entry at the end.
    void AppendMarker(uint8_t code, const uint8_t* data, uint16_t length);
    // Puts a copy of the new payload, with the new code, in place of entry `index`.
    void ReplaceMarker(int index, uint8_t code, const uint8_t* data, uint16_t length);
    // Index of the first entry with `code`, or -1.
    int FindMarker(uint8_t code) const;
    void RemoveMarker(int index);
    void ClearMarkers() { Clear(); }
    // Becomes a copy of `other` (entries in order); does nothing when `other` is null or this list.
    void CopyMarkers(const TIOMarkerList* other);
    void SwapMarkers(int i, int j);

    // The write order: by code, ICC profile chunks (APP2 "ICC_PROFILE") in sequence order, and
    // an EXIF APP1 ahead of every other APP1.
    void SortMarkers();

private:
    std::vector<TIOMarker> markers_;
};
