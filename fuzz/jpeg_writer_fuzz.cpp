// The JPEG writer over arbitrary pictures and options, first to a stream that takes everything
// (libjpeg-turbo must read the file back at its size, close to the picture), then to one that
// fails at an offset taken from the input (the failure must be reported through the abort flag,
// never as a complete file).
#include "fuzz/fuzz_check.h"
#include "imageio/bitmap.h"
#include "imageio/errors.h"
#include "imageio/image_io.h"
#include "imageio/jpeg_writer.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace {

struct Options {
    int quality;
    uint8_t progressive, optimal;
};

bool Write(TIOBitmap& picture, const Options& o, TIOStream& stream) {
    TIOParamsVals params;
    params.JpegQuality = o.quality;
    params.JpegProgressive = o.progressive;
    params.JpegOptimalHuffman = o.optimal;
    uint8_t abort = 0;
    TIOProgressRecord progress;
    progress.AbortFlag = &abort;
    WriteJpegImage(stream, picture, params, progress);
    return abort == 0;
}

struct DecodeError {
    jpeg_error_mgr manager;
    jmp_buf jump;
};

void OnDecodeError(j_common_ptr info) { longjmp(reinterpret_cast<DecodeError*>(info->err)->jump, 1); }

// Only C data in this frame: the error hook jumps back into it.
bool Decode(const std::vector<uint8_t>& file, std::vector<uint8_t>& pixels, int& width, int& height) {
    jpeg_decompress_struct info;
    DecodeError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = OnDecodeError;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, file.data(), file.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&info);
    width = static_cast<int>(info.output_width);
    height = static_cast<int>(info.output_height);
    pixels.resize(static_cast<size_t>(width) * height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = pixels.data() + static_cast<size_t>(info.output_scanline) * width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const int width = 1 + data[0] % 40;
    const int height = 1 + data[1] % 40;
    const Options options{1 + data[2] % 100, uint8_t(data[3] & 1), uint8_t(data[3] >> 1 & 1)};
    const size_t failAt = data[4] | data[5] << 8;
    const uint8_t* pixels = data + 6;
    const size_t pixelBytes = size - 6;

    // Smooth pixels (a gradient plus a little of the input) so the loss stays within a bound.
    TIOBitmap picture;
    if (!picture.Allocate(width, height, io24RGB)) return 0;
    long sum = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x) {
            const size_t at = static_cast<size_t>(y) * width * 3 + x;
            const uint8_t noise = at < pixelBytes ? pixels[at] % 8 : 0;
            picture.ScanLine(y)[x] = static_cast<uint8_t>(60 + (x / 3) * 2 + y * 2 + noise);
            sum += picture.ScanLine(y)[x];
        }

    TIOMemoryStream whole;
    FUZZ_CHECK(Write(picture, options, whole));
    const std::vector<uint8_t>& file = whole.Data();
    std::vector<uint8_t> decoded;
    int w = 0, h = 0;
    FUZZ_CHECK(Decode(file, decoded, w, h));
    FUZZ_CHECK(w == width && h == height);
    long decodedSum = 0;
    for (uint8_t v : decoded) decodedSum += v;
    // At ordinary qualities the mean level survives within a few steps (the coarsest tables may
    // move it further).
    if (options.quality >= 50) FUZZ_CHECK(std::labs(decodedSum - sum) <= 6L * width * height * 3);

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
