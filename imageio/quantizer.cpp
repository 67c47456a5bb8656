// TIOQuantizer: grey ramp, exact colours, NeuQuant (a one-dimensional self-organising map in
// integer fixed point) and a variance-splitting box method, and the colour lookup of each.
#include "imageio/quantizer.h"

#include "imageio/neuquant.h"
#include "imageio/params.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace {

uint32_t ColourKey(uint8_t b, uint8_t g, uint8_t r) {
    return static_cast<uint32_t>(b) | (static_cast<uint32_t>(g) << 8) | (static_cast<uint32_t>(r) << 16);
}

// True when every pixel (or palette entry) of the picture has blue = green = red. Formats
// without colour count as grey.
bool IsGreyPicture(TIOBitmap& picture) {
    const TIOPixelFormatId format = picture.PixelFormat();
    if (format == io8p) {
        for (int i = 0; i < picture.PaletteCount(); ++i) {
            const TIOColorBGR c = picture.PaletteColor(i);
            if (c.B != c.G || c.G != c.R) return false;
        }
        return true;
    }
    if (format != io24RGB && format != io32RGB && format != ioRGB48) return true;

    const int width = picture.Width();
    const int height = picture.Height();
    for (int y = 0; y < height; ++y) {
        const uint8_t* p = picture.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            if (format == ioRGB48) {
                // Three 16-bit samples: equal samples have equal byte pairs.
                if (p[0] != p[2] || p[1] != p[3] || p[2] != p[4] || p[3] != p[5]) return false;
                p += 6;
            } else {
                if (p[0] != p[1] || p[1] != p[2]) return false;
                p += format == io32RGB ? 4 : 3;
            }
        }
    }
    return true;
}

// The distinct colours of a picture in order of first appearance, with a hash index so that a
// lookup costs the same for the 256th colour as for the first.
class ExactColours {
public:
    explicit ExactColours(int capacity) : capacity_(capacity) {
        size_t slots = 16;
        while (slots < static_cast<size_t>(capacity) * 4) slots *= 2;
        slots_.assign(slots, kEmpty);
        colours_.reserve(static_cast<size_t>(capacity));
    }

    // Appends an unseen colour; false when the list is already full.
    bool Add(uint32_t key) {
        size_t slot = FindSlot(key);
        if (slots_[slot] != kEmpty) return true;
        if (static_cast<int>(colours_.size()) >= capacity_) return false;
        slots_[slot] = static_cast<int32_t>(colours_.size());
        colours_.push_back(key);
        return true;
    }

    // Position of the colour in the list, or -1.
    int IndexOf(uint32_t key) const {
        const int32_t entry = slots_[FindSlot(key)];
        return entry == kEmpty ? -1 : entry;
    }

    const std::vector<uint32_t>& Colours() const { return colours_; }

private:
    static constexpr int32_t kEmpty = -1;

    size_t FindSlot(uint32_t key) const {
        const size_t mask = slots_.size() - 1;
        size_t slot = (key * 2654435761u) & mask;
        while (slots_[slot] != kEmpty && colours_[static_cast<size_t>(slots_[slot])] != key) {
            slot = (slot + 1) & mask;
        }
        return slot;
    }

    int capacity_;
    std::vector<int32_t> slots_;   // list position, or -1 for a free slot
    std::vector<uint32_t> colours_;
};

// Collects the exact colours of an io24RGB picture, rows from the top. Null when the picture
// has more than `ncol` of them.
std::unique_ptr<ExactColours> CollectExactColours(TIOBitmap& picture, int ncol) {
    auto exact = std::make_unique<ExactColours>(ncol);
    const int width = picture.Width();
    const int height = picture.Height();
    uint32_t lastKey = 0;
    bool haveLast = false;
    for (int y = 0; y < height; ++y) {
        const uint8_t* p = picture.ScanLine(y);
        for (int x = 0; x < width; ++x, p += 3) {
            const uint32_t key = ColourKey(p[0], p[1], p[2]);
            if (haveLast && key == lastKey) continue;
            if (!exact->Add(key)) return nullptr;
            lastKey = key;
            haveLast = true;
        }
    }
    return exact;
}

// Narrow contest keys: distance (at most 12240) or biased distance (within +-540000) above 9
// bits of position.
constexpr int kNarrowPositionBits = 9;
constexpr int kMaxNarrowNetwork = 1 << kNarrowPositionBits;
constexpr int32_t kNarrowPositionMask = kMaxNarrowNetwork - 1;

struct NarrowContestResult {
    int32_t bestKey;         // smallest distance, and its neuron in the low bits
    int32_t bestBiasedKey;   // smallest biased distance, and its neuron
};

// The loop of the learning contest with 32-bit biases, over every neuron: each neuron's distance
// and biased distance carry its position in their low bits, so the smallest key is the first
// neuron of smallest value, as the comparisons of the wide contest find it, and the loop has no
// branch. Every frequency decays and every bias grows. Built for AVX2 as well where the compiler
// can, chosen when the processor has it: the same integer operations, eight neurons at a time.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
NarrowContestResult NarrowContestKeys(const std::array<int, 4>* __restrict neurons, int32_t* __restrict bias,
                                      int* __restrict frequency, int count, int b, int g, int r) {
    int32_t bestKey = INT32_MAX;
    int32_t bestBiasedKey = INT32_MAX;
    for (int i = 0; i < count; ++i) {
        const std::array<int, 4>& n = neurons[i];
        const int distance = std::abs(n[0] - b) + std::abs(n[1] - g) + std::abs(n[2] - r);
        const int32_t key = (distance << kNarrowPositionBits) | i;
        const int32_t biasedKey = ((distance - (bias[i] >> 12)) * (1 << kNarrowPositionBits)) | i;
        bestKey = std::min(bestKey, key);
        bestBiasedKey = std::min(bestBiasedKey, biasedKey);
        const int beta = frequency[i] >> 10;
        frequency[i] -= beta;
        bias[i] += beta << 10;
    }
    return {bestKey, bestBiasedKey};
}

// The lookup's distance scan covers this many neurons, the most a GIF map has.
constexpr int kScanNeurons = 256;

// The sum of absolute differences from (b, g, r) to each of the kScanNeurons colours given as
// 16-bit rows, into `distances`; returns the smallest. No branch, so the compiler does it 16
// lanes at a time (and with AVX2 where the processor has it).
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
int ScanDistances(const int16_t* __restrict blue, const int16_t* __restrict green, const int16_t* __restrict red,
                  int16_t* __restrict distances, int b, int g, int r) {
    const auto b16 = static_cast<int16_t>(b);
    const auto g16 = static_cast<int16_t>(g);
    const auto r16 = static_cast<int16_t>(r);
    int16_t smallest = INT16_MAX;
    for (int i = 0; i < kScanNeurons; ++i) {
        const auto db = static_cast<int16_t>(blue[i] - b16);
        const auto dg = static_cast<int16_t>(green[i] - g16);
        const auto dr = static_cast<int16_t>(red[i] - r16);
        const auto distance = static_cast<int16_t>(std::max<int16_t>(db, static_cast<int16_t>(-db)) +
                                                   std::max<int16_t>(dg, static_cast<int16_t>(-dg)) +
                                                   std::max<int16_t>(dr, static_cast<int16_t>(-dr)));
        distances[i] = distance;
        smallest = std::min(smallest, distance);
    }
    return smallest;
}

// NeuQuant. Colour components carry 4 fraction bits while learning (0..4080), alpha 10 bits,
// the radius 6 bits, the neighbour factors 18 bits, frequency and bias 16 bits.
class NeuQuantNetwork {
public:
    NeuQuantNetwork(TIOBitmap& picture, int networkSize, int samplingFactor)
        : picture_(picture),
          networkSize_(networkSize),
          initialRadiusCount_(static_cast<int>(static_cast<unsigned>(networkSize) / 8u)),
          width_(picture.Width()),
          height_(picture.Height()),
          samplingFactor_(samplingFactor),
          neurons_(static_cast<size_t>(networkSize)),
          bias_(static_cast<size_t>(networkSize), 0),
          frequency_(static_cast<size_t>(networkSize), 0),
          radiusPower_(static_cast<size_t>(initialRadiusCount_), 0) {
        byteCount_ = static_cast<int64_t>(width_) * height_ * 3;
        for (int i = 0; i < networkSize_; ++i) {
            Neuron& n = neurons_[static_cast<size_t>(i)];
            const int start = (i * 4096) / networkSize_;
            n = {start, start, start, 0};
            frequency_[static_cast<size_t>(i)] = 65536 / networkSize_;
        }
    }

    void Learn(bool wideContest = false) {
        const int64_t pixels = static_cast<int64_t>(width_) * height_;
        const int alphaDivisor = 30 + (samplingFactor_ - 1) / 3;
        const int64_t sampleCount = byteCount_ / (3 * static_cast<int64_t>(samplingFactor_));
        int64_t delta = sampleCount / 100;
        if (delta == 0) delta = 1;

        int alpha = 1024;
        int radius = initialRadiusCount_ * 64;
        int rad = RadFromRadius(radius);
        FillRadiusPowers(rad, alpha);

        // A bias moves by at most 65536 a sample (frequency stays below 66560, so beta is at most
        // 64), so up to 32767 samples it fits in 32 bits with its exact value; the narrow contest
        // then gives the same winners as the wide one, in a loop the compiler vectorises.
        const bool narrowBias = !wideContest && sampleCount <= 32767 && networkSize_ <= kMaxNarrowNetwork;
        if (narrowBias) {
            narrowBias_.assign(bias_.begin(), bias_.end());
        }
        const int step = NeuQuantStep(byteCount_);
        int64_t position = 0;
        for (int64_t sample = 0; sample < sampleCount;) {
            int64_t row = position / width_;
            if (row >= height_) row %= height_;
            const int64_t column = position % width_;
            const uint8_t* p = picture_.ScanLine(static_cast<int>(row)) + column * 3;
            const int b = p[0] << 4;
            const int g = p[1] << 4;
            const int r = p[2] << 4;

            const int winner = narrowBias ? ContestNarrow(b, g, r) : Contest(b, g, r);
            MoveWinner(alpha, winner, b, g, r);
            if (rad != 0) MoveNeighbours(rad, winner, b, g, r);

            position += step;
            if (position >= pixels) position -= pixels;

            ++sample;
            if (sample % delta == 0) {
                alpha -= alpha / alphaDivisor;
                radius -= radius / 30;
                rad = RadFromRadius(radius);
                FillRadiusPowers(rad, alpha);
            }
        }
        if (narrowBias) bias_.assign(narrowBias_.begin(), narrowBias_.end());
    }

    // Back to 8-bit components, then the map in network order.
    void Unbias(TIOColorBGR* colorMap) {
        for (int i = 0; i < networkSize_; ++i) {
            Neuron& n = neurons_[static_cast<size_t>(i)];
            for (int c = 0; c < 3; ++c) n[static_cast<size_t>(c)] = std::min((n[static_cast<size_t>(c)] + 8) >> 4, 255);
            n[3] = i;
            colorMap[i] = TIOColorBGR{static_cast<uint8_t>(n[0]), static_cast<uint8_t>(n[1]),
                                      static_cast<uint8_t>(n[2])};
        }
    }

    // Sorts the neurons by green and records, for each green value, where a lookup starts.
    void BuildGreenIndex() {
        const int last = networkSize_ - 1;
        int previousGreen = 0;
        int start = 0;
        for (int i = 0; i < networkSize_; ++i) {
            int smallest = i;
            int smallestGreen = neurons_[static_cast<size_t>(i)][1];
            for (int j = i + 1; j < networkSize_; ++j) {
                if (neurons_[static_cast<size_t>(j)][1] < smallestGreen) {
                    smallest = j;
                    smallestGreen = neurons_[static_cast<size_t>(j)][1];
                }
            }
            if (smallest != i) std::swap(neurons_[static_cast<size_t>(i)], neurons_[static_cast<size_t>(smallest)]);
            if (smallestGreen != previousGreen) {
                greenIndex_[static_cast<size_t>(previousGreen)] = (start + i) / 2;
                for (int v = previousGreen + 1; v < smallestGreen; ++v) greenIndex_[static_cast<size_t>(v)] = i;
                previousGreen = smallestGreen;
                start = i;
            }
        }
        greenIndex_[static_cast<size_t>(previousGreen)] = (start + last) / 2;
        for (int v = previousGreen + 1; v < 256; ++v) greenIndex_[static_cast<size_t>(v)] = last;
        BuildScanRows();
    }

    // Nearest neuron (sum of absolute differences), walking up and down from the green index;
    // each walk stops once the green difference alone reaches the best distance.
    int Lookup(int b, int g, int r) const {
        int bestDistance = 1000;
        int best = -1;
        int i = greenIndex_[static_cast<size_t>(g)];
        int j = i - 1;
        while (i < networkSize_ || j >= 0) {
            if (i < networkSize_) {
                const Neuron& n = neurons_[static_cast<size_t>(i)];
                int d = n[1] - g;
                if (d >= bestDistance) {
                    i = networkSize_;
                } else {
                    ++i;
                    Consider(n, std::abs(d), b, r, bestDistance, best);
                }
            }
            if (j >= 0) {
                const Neuron& n = neurons_[static_cast<size_t>(j)];
                int d = g - n[1];
                if (d >= bestDistance) {
                    j = -1;
                } else {
                    --j;
                    Consider(n, std::abs(d), b, r, bestDistance, best);
                }
            }
        }
        return best;
    }

    // The walk's answer, found with less work. The walk answers the neuron of smallest distance,
    // ties going to the one it meets first: the k-th step up before the k-th step down (a step
    // count does not depend on when the other side stopped). So: every neuron's distance at
    // once, in 16-bit lanes without branches (ScanDistances), then the same alternating steps
    // from the green start until one reaches a neuron of the smallest distance.
    int LookupScan(int b, int g, int r) const {
        std::array<int16_t, kScanNeurons> distances;
        const int smallest = ScanDistances(scanBlue_.data(), scanGreen_.data(), scanRed_.data(), distances.data(), b, g, r);
        const int start = greenIndex_[static_cast<size_t>(g)];
        for (int k = 0;; ++k) {
            const int up = start + k;
            if (up < networkSize_ && distances[static_cast<size_t>(up)] == smallest) return neurons_[static_cast<size_t>(up)][3];
            const int down = start - 1 - k;
            if (down >= 0 && distances[static_cast<size_t>(down)] == smallest) return neurons_[static_cast<size_t>(down)][3];
        }
    }

    // Whether LookupScan serves this network: at most kScanNeurons neurons.
    bool Scannable() const { return networkSize_ <= kScanNeurons; }

private:
    using Neuron = std::array<int, 4>;   // blue, green, red, number

    // The neurons in green order as 16-bit blue, green and red rows for ScanDistances; rows
    // past the network hold a colour farther than any real one.
    void BuildScanRows() {
        if (!Scannable()) return;
        scanBlue_.fill(kFarAway);
        scanGreen_.fill(kFarAway);
        scanRed_.fill(kFarAway);
        for (int i = 0; i < networkSize_; ++i) {
            const Neuron& n = neurons_[static_cast<size_t>(i)];
            scanBlue_[static_cast<size_t>(i)] = static_cast<int16_t>(n[0]);
            scanGreen_[static_cast<size_t>(i)] = static_cast<int16_t>(n[1]);
            scanRed_[static_cast<size_t>(i)] = static_cast<int16_t>(n[2]);
        }
    }

    static int RadFromRadius(int radius) {
        const int rad = radius >> 6;
        return rad <= 1 ? 0 : rad;
    }

    void FillRadiusPowers(int rad, int alpha) {
        const int radSquared = rad * rad;
        for (int k = 0; k < rad; ++k) {
            radiusPower_[static_cast<size_t>(k)] = (((radSquared - k * k) * 256) / radSquared) * alpha;
        }
    }

    static void Consider(const Neuron& n, int greenDistance, int b, int r, int& bestDistance, int& best) {
        int d = greenDistance + std::abs(n[0] - b);
        if (d < bestDistance) {
            d += std::abs(n[2] - r);
            if (d < bestDistance) {
                bestDistance = d;
                best = n[3];
            }
        }
    }

    // The neuron nearest the sample after its bias; every neuron's frequency decays and its
    // bias grows, and the plain nearest one gains frequency and loses bias, so that neurons
    // that rarely win get a chance.
    int Contest(int b, int g, int r) {
        int bestDistance = INT_MAX;
        int64_t bestBiasedDistance = INT_MAX;
        int bestPosition = -1;
        int bestBiasedPosition = -1;
        for (int i = 0; i < networkSize_; ++i) {
            const Neuron& n = neurons_[static_cast<size_t>(i)];
            const int distance = std::abs(n[0] - b) + std::abs(n[1] - g) + std::abs(n[2] - r);
            if (distance < bestDistance) {
                bestDistance = distance;
                bestPosition = i;
            }
            int64_t& bias = bias_[static_cast<size_t>(i)];
            const int64_t biasedDistance = distance - (bias >> 12);
            if (biasedDistance < bestBiasedDistance) {
                bestBiasedDistance = biasedDistance;
                bestBiasedPosition = i;
            }
            int& frequency = frequency_[static_cast<size_t>(i)];
            const int beta = frequency >> 10;
            frequency -= beta;
            bias += static_cast<int64_t>(beta) << 10;
        }
        frequency_[static_cast<size_t>(bestPosition)] += 64;
        bias_[static_cast<size_t>(bestPosition)] -= 65536;
        return bestBiasedPosition;
    }

    // Contest with 32-bit biases: the same winners as Contest, by NarrowContestKeys.
    int ContestNarrow(int b, int g, int r) {
        const NarrowContestResult result = NarrowContestKeys(neurons_.data(), narrowBias_.data(), frequency_.data(), networkSize_, b, g, r);
        const int bestPosition = result.bestKey & kNarrowPositionMask;
        frequency_[static_cast<size_t>(bestPosition)] += 64;
        narrowBias_[static_cast<size_t>(bestPosition)] -= 65536;
        return result.bestBiasedKey & kNarrowPositionMask;
    }

    void MoveWinner(int alpha, int winner, int b, int g, int r) {
        Neuron& n = neurons_[static_cast<size_t>(winner)];
        n[0] -= static_cast<int>((static_cast<int64_t>(n[0] - b) * alpha) / 1024);
        n[1] -= static_cast<int>((static_cast<int64_t>(n[1] - g) * alpha) / 1024);
        n[2] -= static_cast<int>((static_cast<int64_t>(n[2] - r) * alpha) / 1024);
    }

    void MoveNeighbour(int position, int a, int b, int g, int r) {
        Neuron& n = neurons_[static_cast<size_t>(position)];
        n[0] -= static_cast<int>((static_cast<int64_t>(n[0] - b) * a) / 262144);
        n[1] -= static_cast<int>((static_cast<int64_t>(n[1] - g) * a) / 262144);
        n[2] -= static_cast<int>((static_cast<int64_t>(n[2] - r) * a) / 262144);
    }

    void MoveNeighbours(int rad, int winner, int b, int g, int r) {
        const int lo = std::max(winner - rad, -1);
        const int hi = std::min(winner + rad, networkSize_);
        for (int d = 1; winner + d < hi || winner - d > lo; ++d) {
            const int a = radiusPower_[static_cast<size_t>(d)];
            if (winner + d < hi) MoveNeighbour(winner + d, a, b, g, r);
            if (winner - d > lo) MoveNeighbour(winner - d, a, b, g, r);
        }
    }

    TIOBitmap& picture_;
    int networkSize_;
    int initialRadiusCount_;
    int width_;
    int height_;
    int64_t byteCount_ = 0;
    int samplingFactor_;
    std::vector<Neuron> neurons_;
    std::array<int, 256> greenIndex_{};
    // 64 bits so that a neuron winning millions of samples of a huge picture cannot overflow;
    // within 32 bits the values are the same.
    std::vector<int64_t> bias_;
    std::vector<int> frequency_;
    std::vector<int> radiusPower_;
    std::vector<int32_t> narrowBias_;   // the biases while the narrow contest runs
    static constexpr int16_t kFarAway = 2000;
    alignas(32) std::array<int16_t, kScanNeurons> scanBlue_{};
    alignas(32) std::array<int16_t, kScanNeurons> scanGreen_{};
    alignas(32) std::array<int16_t, kScanNeurons> scanRed_{};
};

// The box method: a 32-level histogram per channel, split into boxes by variance.
class BoxMap {
public:
    static constexpr int kLevels = 32;

    BoxMap(TIOBitmap& picture, int ncol, TIOColorBGR* colorMap) : table_(kLevels * kLevels * kLevels, 0) {
        std::vector<uint32_t> histogram(table_.size(), 0);
        const int width = picture.Width();
        const int height = picture.Height();
        for (int y = 0; y < height; ++y) {
            const uint8_t* p = picture.ScanLine(y);
            for (int x = 0; x < width; ++x, p += 3) ++histogram[Cell(p[2] >> 3, p[1] >> 3, p[0] >> 3)];
        }

        std::vector<Box> boxes{Stats(histogram, Box{{0, 0, 0}, {kLevels, kLevels, kLevels}})};
        while (static_cast<int>(boxes.size()) < ncol) {
            int widest = -1;
            for (size_t i = 0; i < boxes.size(); ++i) {
                if (boxes[i].variance > 0 && (widest < 0 || boxes[i].variance > boxes[static_cast<size_t>(widest)].variance)) {
                    widest = static_cast<int>(i);
                }
            }
            if (widest < 0) break;
            Box low, high;
            if (!Split(histogram, boxes[static_cast<size_t>(widest)], low, high)) {
                boxes[static_cast<size_t>(widest)].variance = 0;   // nothing to gain: never pick it again
                continue;
            }
            boxes[static_cast<size_t>(widest)] = low;
            boxes.push_back(high);
        }

        for (size_t k = 0; k < boxes.size(); ++k) {
            const Box& box = boxes[k];
            for (int r = box.lo[0]; r < box.hi[0]; ++r)
                for (int g = box.lo[1]; g < box.hi[1]; ++g)
                    for (int b = box.lo[2]; b < box.hi[2]; ++b) table_[Cell(r, g, b)] = static_cast<uint16_t>(k);
            TIOColorBGR& entry = colorMap[k];
            entry.R = MeanLevel(box, 0);
            entry.G = MeanLevel(box, 1);
            entry.B = MeanLevel(box, 2);
        }
    }

    int Lookup(const TIOColorBGR& c) const { return table_[Cell(c.R >> 3, c.G >> 3, c.B >> 3)]; }

private:
    struct Box {
        std::array<int, 3> lo;   // red, green, blue levels, inclusive
        std::array<int, 3> hi;   // exclusive
        double count = 0;
        std::array<double, 3> sum{};
        double variance = 0;     // summed squared distance of the box's pixels from its mean
    };

    static size_t Cell(int r, int g, int b) { return static_cast<size_t>(r * 1024 + g * 32 + b); }

    static uint8_t MeanLevel(const Box& box, int axis) {
        if (box.count == 0) return static_cast<uint8_t>(((box.lo[static_cast<size_t>(axis)] + box.hi[static_cast<size_t>(axis)] - 1) / 2) * 8);
        const long level = std::lround(box.sum[static_cast<size_t>(axis)] / box.count);
        return static_cast<uint8_t>(std::clamp(level, 0L, 31L) * 8);
    }

    // Count, sums and variance of the pixels inside a box.
    static Box Stats(const std::vector<uint32_t>& histogram, Box box) {
        std::array<double, 3> squares{};
        box.count = 0;
        box.sum = {};
        for (int r = box.lo[0]; r < box.hi[0]; ++r)
            for (int g = box.lo[1]; g < box.hi[1]; ++g)
                for (int b = box.lo[2]; b < box.hi[2]; ++b) {
                    const double n = histogram[Cell(r, g, b)];
                    if (n == 0) continue;
                    const std::array<int, 3> level{r, g, b};
                    box.count += n;
                    for (size_t a = 0; a < 3; ++a) {
                        box.sum[a] += n * level[a];
                        squares[a] += n * level[a] * level[a];
                    }
                }
        box.variance = 0;
        if (box.count > 0) {
            for (size_t a = 0; a < 3; ++a) box.variance += squares[a] - box.sum[a] * box.sum[a] / box.count;
        }
        return box;
    }

    // Cuts the box where the two halves' summed variance is smallest, over every axis and
    // position that leaves pixels on both sides.
    static bool Split(const std::vector<uint32_t>& histogram, const Box& box, Box& low, Box& high) {
        double bestVariance = box.variance;
        bool found = false;
        for (size_t axis = 0; axis < 3; ++axis) {
            for (int cut = box.lo[axis] + 1; cut < box.hi[axis]; ++cut) {
                Box a = box;
                Box b = box;
                a.hi[axis] = cut;
                b.lo[axis] = cut;
                a = Stats(histogram, a);
                if (a.count == 0 || a.count == box.count) continue;
                b = Stats(histogram, b);
                if (a.variance + b.variance < bestVariance) {
                    bestVariance = a.variance + b.variance;
                    low = a;
                    high = b;
                    found = true;
                }
            }
        }
        return found;
    }

    std::vector<uint16_t> table_;   // box number of each (red, green, blue) cell
};

}  // namespace

int NeuQuantSamplingFactor(int64_t pixels, int quality) {
    int64_t factor;
    if (quality < 0) {
        if (pixels < 2000) return 1;
        // (pixels - 2000) * 13 / 148000 + 2, rounded to nearest with halves to even, in integers
        // so that no floating-point rounding can move a boundary.
        const int64_t numerator = (pixels - 2000) * 13;
        factor = numerator / 148000;
        const int64_t twiceRemainder = (numerator % 148000) * 2;
        if (twiceRemainder > 148000 || (twiceRemainder == 148000 && factor % 2 == 1)) ++factor;
        factor += 2;
    } else {
        factor = static_cast<int64_t>((100 - std::min(quality, 100)) / 100.0 * 29) + 1;
    }
    return static_cast<int>(std::clamp<int64_t>(factor, 1, 30));
}

int NeuQuantStep(int64_t byteCount) {
    if (byteCount % 499 != 0) return 499;
    if (byteCount % 491 != 0) return 491;
    if (byteCount % 487 != 0) return 487;
    return 503;
}

void NeuQuantLearnMap(TIOBitmap& picture, int ncol, int samplingFactor, TIOColorBGR* colorMap, bool wideContest) {
    NeuQuantNetwork network(picture, ncol, samplingFactor);
    network.Learn(wideContest);
    network.Unbias(colorMap);
}

int LearnedMapMethod(int method, int ncol) {
    if (method == -1) return ncol >= 128 ? 0 : 1;
    return method == 1 ? 1 : 0;
}

struct TIOQuantizer::State {
    int method = 0;
    std::unique_ptr<NeuQuantNetwork> network;
    std::unique_ptr<BoxMap> boxes;
    bool grey = false;
    std::unique_ptr<ExactColours> exact;
    int ncol = 0;
    TIOBitmap* source = nullptr;
    bool paletted = false;
};

TIOQuantizer::TIOQuantizer(TIOBitmap& source, TIOColorBGR* colorMap, int ncol) : state_(std::make_unique<State>()) {
    if (ncol < 1) throw std::invalid_argument("TIOQuantizer: at least one colour is needed");
    State& s = *state_;
    s.ncol = ncol;
    s.source = &source;
    const TIOPixelFormatId format = source.PixelFormat();
    s.paletted = format == io8p;
    s.grey = IsGreyPicture(source);

    if (format == io24RGB && !s.grey) {
        s.exact = CollectExactColours(source, ncol);
        if (s.exact) {
            const std::vector<uint32_t>& colours = s.exact->Colours();
            for (size_t i = 0; i < colours.size(); ++i) {
                colorMap[i] = TIOColorBGR{static_cast<uint8_t>(colours[i]), static_cast<uint8_t>(colours[i] >> 8),
                                          static_cast<uint8_t>(colours[i] >> 16)};
            }
            return;
        }
        s.method = LearnedMapMethod(QuantizerMethod, ncol);
        if (s.method == 0) {
            const int64_t pixels = static_cast<int64_t>(source.Width()) * source.Height();
            s.network = std::make_unique<NeuQuantNetwork>(source, ncol, NeuQuantSamplingFactor(pixels, QuantizerQuality));
            s.network->Learn();
            s.network->Unbias(colorMap);
            s.network->BuildGreenIndex();
        } else {
            s.boxes = std::make_unique<BoxMap>(source, ncol, colorMap);
        }
        return;
    }
    if (s.paletted) {
        // Only entries the palette has: a short palette leaves the rest of the map as it was.
        const int count = std::min(ncol, source.PaletteCount());
        for (int i = 0; i < count; ++i) colorMap[i] = source.PaletteColor(i);
        return;
    }
    if (s.grey) {
        for (int i = 0; i < ncol; ++i) {
            const auto level = static_cast<uint8_t>(static_cast<int>((256.0 / ncol) * i));
            colorMap[i] = TIOColorBGR{level, level, level};
        }
    }
}

TIOQuantizer::~TIOQuantizer() = default;

int TIOQuantizer::MapColorByWalk(TIOColorBGR colour) {
    const State& s = *state_;
    if (s.network) return s.network->Lookup(colour.B, colour.G, colour.R);
    return MapColor(colour);
}

int TIOQuantizer::MapColor(TIOColorBGR colour) {
    const State& s = *state_;
    if (s.exact) return s.exact->IndexOf(ColourKey(colour.B, colour.G, colour.R));
    if (s.grey) return (colour.R * s.ncol) / 256;
    if (s.network) {
        return s.network->Scannable() ? s.network->LookupScan(colour.B, colour.G, colour.R)
                                      : s.network->Lookup(colour.B, colour.G, colour.R);
    }
    if (s.boxes) return s.boxes->Lookup(colour);
    if (s.paletted) {
        const int count = s.source->PaletteCount();
        for (int i = 0; i < count; ++i) {
            if (s.source->PaletteColor(i) == colour) return i;
        }
        return count;
    }
    return 0;
}
