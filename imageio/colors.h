// Colour records shared by the platform bitmap, the image buffer and the writers.
#pragma once

#include <cstdint>

struct TIOColorBGR {
    uint8_t B = 0;
    uint8_t G = 0;
    uint8_t R = 0;

    friend bool operator==(const TIOColorBGR&, const TIOColorBGR&) = default;
};

// Builds a colour from the usual red, green, blue order.
constexpr TIOColorBGR RGBColor(uint8_t r, uint8_t g, uint8_t b) { return TIOColorBGR{b, g, r}; }
