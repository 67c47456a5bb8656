// TIOQuantizer: chooses a colour map of at most NCol entries for a picture and maps colours to it.
#pragma once

#include "imageio/bitmap.h"
#include "imageio/colors.h"

#include <memory>

class TIOQuantizer {
public:
    // Builds the map for `source` and fills `colorMap` (at least `ncol` entries); entries the
    // chosen method does not produce are left as they were.
    TIOQuantizer(TIOBitmap& source, TIOColorBGR* colorMap, int ncol);
    ~TIOQuantizer();
    TIOQuantizer(const TIOQuantizer&) = delete;
    TIOQuantizer& operator=(const TIOQuantizer&) = delete;

    // Index of `colour` in the map; -1 for a colour an exact-colour map does not contain.
    int MapColor(TIOColorBGR colour);
    // MapColor's answer by the green-ordered walk that defines a learned map's lookup, without
    // the faster search; kept to check MapColor against.
    int MapColorByWalk(TIOColorBGR colour);

private:
    struct State;
    std::unique_ptr<State> state_;
};
