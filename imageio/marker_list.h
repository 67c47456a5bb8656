// TIOMarkerList: the JPEG markers (APPn, COM) that a save copies into the file, in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct TIOMarker {
    uint8_t Code = 0;             // marker code, for example 0xE1 for APP1
    std::vector<uint8_t> Data;    // payload without the marker and length bytes
};

class TIOMarkerList {
public:
    int Count() const { return static_cast<int>(markers_.size()); }
    const TIOMarker& operator[](int index) const { return markers_[static_cast<size_t>(index)]; }
    TIOMarker& operator[](int index) { return markers_[static_cast<size_t>(index)]; }
    void Clear() { markers_.clear(); }
    void AddMarker(uint8_t code, std::vector<uint8_t> data) { markers_.push_back({code, std::move(data)}); }
    std::vector<TIOMarker>& Items() { return markers_; }
    const std::vector<TIOMarker>& Items() const { return markers_; }

private:
    std::vector<TIOMarker> markers_;
};
