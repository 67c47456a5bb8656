// Figures for confined decoding, printed rather than asserted: the reduced-scale JPEG decode
// against a full one, the cost of the worker hand-over, and giant pictures.
// Run through scripts/bench-decoder.
#include "thumbs/confined_decoder.h"
#include "thumbs/worker/decode.h"
#include "thumbs/worker/jpeg_decode.h"

#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <png.h>
#include <string>
#include <unistd.h>
#include <vector>
#include <jpeglib.h>

namespace {

double Milliseconds(const std::function<void()>& work, int repeat) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repeat; ++i) work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / repeat;
}

// Row by row, so even 20000 x 20000 needs one row of memory: a smooth gradient with noise.
void FillRow(std::vector<uint8_t>& row, int width, int y) {
    for (int x = 0; x < width; ++x) {
        row[size_t(x) * 3] = static_cast<uint8_t>(x * 255 / width);
        row[size_t(x) * 3 + 1] = static_cast<uint8_t>(y * 255 / (y + 1000));
        row[size_t(x) * 3 + 2] = static_cast<uint8_t>((x ^ y) & 0x3F);
    }
}

void WriteJpeg(const std::string& path, int width, int height) {
    FILE* file = std::fopen(path.c_str(), "wb");
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr error{};
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 85, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(size_t(width) * 3);
    for (int y = 0; y < height; ++y) {
        FillRow(row, width, y);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

void WritePng(const std::string& path, int width, int height) {
    FILE* file = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<uint8_t> row(size_t(width) * 3);
    for (int y = 0; y < height; ++y) {
        FillRow(row, width, y);
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

void Giant(const std::string& label, const std::string& path) {
    std::optional<TBitmap> result;
    std::error_code ignored;
    std::printf("%-34s %8.0f MB file\n", label.c_str(), std::filesystem::file_size(path, ignored) / 1048576.0);
    const double ms = Milliseconds([&] { result = DecodeFileConfined(path, 128, RGBColor(255, 255, 255)); }, 1);
    std::printf("%-34s %8.1f ms  %s\n", label.c_str(), ms,
                result ? ("thumbnail " + std::to_string(result->Width()) + "x" + std::to_string(result->Height())).c_str()
                       : "refused (icon picture)");
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication application(argc, argv);
    char pattern[] = "/tmp/pictolith-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    std::printf("workers confined by: %s\n\n", ConfinedDecoderSandbox().c_str());

    const std::string photo = dir + "/photo24mp.jpg";
    WriteJpeg(photo, 6000, 4000);
    const int fd = open(photo.c_str(), O_RDONLY | O_CLOEXEC);
    const WorkerLimits limits;
    const double full = Milliseconds([&] { DecodeJpeg(fd, 6000, uint64_t{1} << 30, 500); }, 3);
    const double reduced = Milliseconds([&] { DecodeJpeg(fd, 128, limits.memoryBudget, 500); }, 10);
    close(fd);
    std::printf("24-megapixel JPEG, full decode      %8.1f ms\n", full);
    std::printf("24-megapixel JPEG, 1/8 DCT decode   %8.1f ms  (%.1fx faster)\n", reduced, full / reduced);
    const double confined = Milliseconds([&] { DecodeFileConfined(photo, 128, RGBColor(255, 255, 255)); }, 10);
    std::printf("24-megapixel JPEG, whole thumbnail  %8.1f ms  through the worker\n\n", confined);

    QImage small(64, 48, QImage::Format_RGB32);
    small.fill(Qt::darkCyan);
    const std::string smallPath = dir + "/small.png";
    small.save(QString::fromStdString(smallPath), "png");
    const int smallFd = open(smallPath.c_str(), O_RDONLY | O_CLOEXEC);
    const double direct = Milliseconds([&] { DecodeInput(smallFd, 128, Background{}, limits); }, 200);
    close(smallFd);
    DecodeFileConfined(smallPath, 128, RGBColor(255, 255, 255));  // a warm worker
    const double handed = Milliseconds([&] { DecodeFileConfined(smallPath, 128, RGBColor(255, 255, 255)); }, 200);
    std::printf("small PNG decoded in-process        %8.2f ms\n", direct);
    std::printf("small PNG through the worker        %8.2f ms  (hand-over %.2f ms a file)\n\n", handed, handed - direct);

    std::printf("writing 20000 x 20000 inputs (takes a while)...\n");
    WriteJpeg(dir + "/giant.jpg", 20000, 20000);
    WritePng(dir + "/giant.png", 20000, 20000);
    Giant("20000 x 20000 JPEG", dir + "/giant.jpg");
    Giant("20000 x 20000 PNG", dir + "/giant.png");
    std::filesystem::remove_all(dir);
    return 0;
}
