// The PNG writer over arbitrary pictures and options, first to a stream that takes everything
// (libpng must read the file back with the exact pixels), then to one that fails at an offset
// taken from the input (the writer must report the failure through the abort flag, never as a
// complete file).
#include "fuzz/fuzz_check.h"
#include "imageio/bitmap.h"
#include "imageio/errors.h"
#include "imageio/image_io.h"
#include "imageio/png_writer.h"

#include <png.h>

#include <cstdint>
#include <vector>

namespace {

struct Options {
    uint8_t interlaced, filter, level;
};

bool Write(TIOBitmap& picture, const Options& o, TIOStream& stream) {
    TIOParamsVals params;
    params.PngInterlaced = o.interlaced;
    params.PngFilter = o.filter;
    params.PngCompressionLevel = o.level;
    uint8_t abort = 0;
    TIOProgressRecord progress;
    progress.AbortFlag = &abort;
    WritePngImage(stream, picture, params, nullptr, progress);
    return abort == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const int width = 1 + data[0] % 40;
    const int height = 1 + data[1] % 40;
    const Options options{uint8_t(data[2] & 1), uint8_t(data[2] >> 1 & 3), uint8_t(data[3] % 10)};
    const size_t failAt = data[4] | data[5] << 8;
    const uint8_t* pixels = data + 6;
    const size_t pixelBytes = size - 6;

    TIOBitmap picture;
    if (!picture.Allocate(width, height, io24RGB)) return 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x) {
            const size_t at = static_cast<size_t>(y) * width * 3 + x;
            picture.ScanLine(y)[x] = at < pixelBytes ? pixels[at] : uint8_t(x * 3 + y);
        }

    TIOMemoryStream whole;
    FUZZ_CHECK(Write(picture, options, whole));
    const std::vector<uint8_t>& file = whole.Data();

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    FUZZ_CHECK(png_image_begin_read_from_memory(&image, file.data(), file.size()) != 0);
    FUZZ_CHECK(static_cast<int>(image.width) == width && static_cast<int>(image.height) == height);
    image.format = PNG_FORMAT_BGR;
    std::vector<uint8_t> decoded(PNG_IMAGE_SIZE(image));
    FUZZ_CHECK(png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr) != 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x)
            FUZZ_CHECK(decoded[static_cast<size_t>(y) * width * 3 + x] == picture.ScanLine(y)[x]);

    // A stream that stops short: reported, and what it holds is only a beginning of the file.
    const size_t limit = failAt % file.size();
    TIOMemoryStream shortStream(limit);
    bool complete = false;
    try {
        complete = Write(picture, options, shortStream);
    } catch (const EIOError&) {
        complete = false;
    }
    FUZZ_CHECK(!complete);
    FUZZ_CHECK(shortStream.Data().size() <= limit);
    FUZZ_CHECK(std::equal(shortStream.Data().begin(), shortStream.Data().end(), file.begin()));
    return 0;
}
