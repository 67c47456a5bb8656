// One 256 x 256 photo-like thumbnail through each writer the save dispatch reaches, into a
// memory stream, with the writer's default parameters (the GIF through NeuQuant and LZW).
#include "imageio/image_io.h"
#include "imageio/params.h"
#include "imageio/stream.h"

#include "photo_like.h"

#include <benchmark/benchmark.h>

namespace {

void WriteThumbnail(benchmark::State& state, TIOWriteProc TIOWriterTable::*slot) {
    const TIOWriteProc writer = Writers().*slot;
    if (writer == nullptr) {
        state.SkipWithError("no writer for this format in this build");
        return;
    }
    auto picture = PhotoLikePicture(256);
    for (auto _ : state) {
        // A fresh copy each time: writers may convert the picture they are given.
        state.PauseTiming();
        TIOBitmap copy;
        copy.SetLocation(ioMemory);
        copy.AssignFrom(*picture);
        state.ResumeTiming();
        TIOParamsVals params;
        TIOProgressRecord progress;
        TIOMemoryStream stream;
        writer(stream, copy, params, progress);
        benchmark::DoNotOptimize(stream.Size());
    }
}

void BM_WriteJpeg256(benchmark::State& state) { WriteThumbnail(state, &TIOWriterTable::Jpeg); }
void BM_WritePng256(benchmark::State& state) { WriteThumbnail(state, &TIOWriterTable::Png); }
void BM_WriteBmp256(benchmark::State& state) { WriteThumbnail(state, &TIOWriterTable::Bmp); }
void BM_WriteGif256(benchmark::State& state) { WriteThumbnail(state, &TIOWriterTable::Gif); }
BENCHMARK(BM_WriteJpeg256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePng256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBmp256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteGif256)->Unit(benchmark::kMillisecond);

}  // namespace
