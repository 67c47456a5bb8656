// The small pure pieces of the quantizer's learning (sampling factor, sample step, method
// choice), apart from the pixels so tests reach them directly.
#pragma once

#include "imageio/bitmap.h"
#include "imageio/colors.h"

#include <cstdint>

// One pixel in every factor pixels is learned from; 1 to 30. `quality` -1 derives the factor
// from the picture's pixel count, 0 to 100 from the quality (100 = every pixel).
int NeuQuantSamplingFactor(int64_t pixels, int quality);

// Pixels between consecutive samples: a prime that does not divide the picture's byte count,
// so the samples spread over the whole picture instead of repeating one column.
int NeuQuantStep(int64_t byteCount);

// The learned-map method for `ncol` colours under the process-wide `method` setting:
// 0 = NeuQuant, 1 = box method.
int LearnedMapMethod(int method, int ncol);

// Learns a NeuQuant map of `ncol` entries from an io24RGB picture with the given sampling
// factor and writes it, in network order, to `colorMap`. The quantizer's own learned map is made
// the same way; this entry reaches network sizes that the quantizer's method choice does not.
// `wideContest` runs every sample's contest with 64-bit biases, as pictures with more than
// 32767 samples need; otherwise smaller pictures take the 32-bit contest, whose winners are the
// same. Tests compare the two.
void NeuQuantLearnMap(TIOBitmap& picture, int ncol, int samplingFactor, TIOColorBGR* colorMap,
                      bool wideContest = false);
