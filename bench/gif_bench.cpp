// GIF output of a thumbnail-sized picture: the quantizer's learning, the LZW encoder, and the
// whole writer.
#include "imageio/gif_lzw.h"
#include "imageio/gif_writer.h"
#include "imageio/quantizer.h"
#include "imageio/stream.h"

#include "photo_like.h"

#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <vector>

namespace {

void BM_QuantizerLearns(benchmark::State& state) {
    auto picture = PhotoLikePicture(static_cast<int>(state.range(0)));
    std::array<TIOColorBGR, 256> map{};
    for (auto _ : state) {
        TIOQuantizer quantizer(*picture, map.data(), 256);
        benchmark::DoNotOptimize(quantizer.MapColor(TIOColorBGR{}));
    }
}
BENCHMARK(BM_QuantizerLearns)->Arg(52)->Arg(128)->Arg(256)->Unit(benchmark::kMillisecond);

void BM_LzwEncodes(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    std::vector<uint8_t> indices(static_cast<size_t>(side) * side);
    uint32_t seed = 7;
    for (size_t i = 0; i < indices.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        indices[i] = static_cast<uint8_t>((i % static_cast<size_t>(side)) + (seed >> 30));
    }
    for (auto _ : state) {
        TIOMemoryStream stream;
        GifLzwCompress(stream, side, side, false, indices.data(), 8);
        benchmark::DoNotOptimize(stream.Size());
    }
}
BENCHMARK(BM_LzwEncodes)->Arg(256)->Unit(benchmark::kMillisecond);

void BM_GifWritesThumbnail(benchmark::State& state) {
    auto picture = PhotoLikePicture(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        TIOParamsVals params;
        TIOProgressRecord progress;
        TIOMemoryStream stream;
        WriteGifImage(stream, *picture, params, progress);
        benchmark::DoNotOptimize(stream.Size());
    }
}
BENCHMARK(BM_GifWritesThumbnail)->Arg(52)->Arg(128)->Arg(256)->Unit(benchmark::kMillisecond);

}  // namespace
