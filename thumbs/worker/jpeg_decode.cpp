// The libjpeg-turbo decoding path: error trap, source, scale choice, markers, colour.
#include "thumbs/worker/jpeg_decode.h"

#include "thumbs/worker/exif_orientation.h"
#include "thumbs/worker/picture_fit.h"

#include <QColorSpace>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace {

struct ErrorTrap {
    jpeg_error_mgr manager;
    jmp_buf jump;
    int maxScans;
};

[[noreturn]] void JumpBack(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<ErrorTrap*>(cinfo->err)->jump, 1);
}

// Corrupt-data warnings are expected from hostile files; nobody reads them.
void Quiet(j_common_ptr, int) {}

// A JPEG with thousands of tiny scans costs minutes of CPU for a few bytes of input.
void CountScans(j_common_ptr cinfo) {
    auto* trap = reinterpret_cast<ErrorTrap*>(cinfo->err);
    if (cinfo->is_decompressor &&
        reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > trap->maxScans)
        JumpBack(cinfo);
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// Owns the decompress struct with its trap and progress hook; jpeg_destroy_decompress is safe
// after an error.
struct JpegSession {
    jpeg_decompress_struct cinfo{};
    ErrorTrap trap{};
    jpeg_progress_mgr progress{};
    std::unique_ptr<FILE, FileCloser> file;

    JpegSession(int maxScans, uint64_t memoryBudget) {
        cinfo.err = jpeg_std_error(&trap.manager);
        trap.manager.error_exit = JumpBack;
        trap.manager.emit_message = Quiet;
        trap.maxScans = maxScans;
        jpeg_create_decompress(&cinfo);
        // Above this the memory manager asks for backing store, which this build lacks, and
        // fails cleanly: a progressive image keeps all its coefficients at full size.
        cinfo.mem->max_memory_to_use = static_cast<long>(memoryBudget);
        progress.progress_monitor = CountScans;
        cinfo.progress = &progress;
    }
    ~JpegSession() { jpeg_destroy_decompress(&cinfo); }
    JpegSession(const JpegSession&) = delete;
    JpegSession& operator=(const JpegSession&) = delete;
};

// Each of these holds only C data in its frame: the error hook jumps back to its setjmp, and a
// jump that skipped a destructor would be undefined behaviour.
bool TryReadHeader(JpegSession& s) noexcept {
    if (setjmp(s.trap.jump)) return false;
    jpeg_stdio_src(&s.cinfo, s.file.get());
    jpeg_save_markers(&s.cinfo, JPEG_APP0 + 1, 0xFFFF);  // EXIF
    jpeg_save_markers(&s.cinfo, JPEG_APP0 + 2, 0xFFFF);  // ICC profile chunks
    return jpeg_read_header(&s.cinfo, TRUE) == JPEG_HEADER_OK;
}

bool TryStart(JpegSession& s, int num, J_COLOR_SPACE outSpace) noexcept {
    if (setjmp(s.trap.jump)) return false;
    s.cinfo.scale_num = static_cast<unsigned>(num);
    s.cinfo.scale_denom = 8;
    s.cinfo.out_color_space = outSpace;
    s.cinfo.dct_method = JDCT_ISLOW;
    s.cinfo.do_fancy_upsampling = TRUE;
    jpeg_calc_output_dimensions(&s.cinfo);
    return true;
}

bool TryStartDecompress(JpegSession& s) noexcept {
    if (setjmp(s.trap.jump)) return false;
    return jpeg_start_decompress(&s.cinfo) == TRUE;
}

bool TryReadRow(JpegSession& s, JSAMPROW row) noexcept {
    if (setjmp(s.trap.jump)) return false;
    return jpeg_read_scanlines(&s.cinfo, &row, 1) == 1;
}

bool TryIccProfile(JpegSession& s, JOCTET** data, unsigned* length) noexcept {
    if (setjmp(s.trap.jump)) return false;
    return jpeg_read_icc_profile(&s.cinfo, data, length) == TRUE;
}

int OrientationOf(const jpeg_decompress_struct& cinfo) {
    for (jpeg_saved_marker_ptr marker = cinfo.marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1) {
            const int orientation = ExifOrientation(marker->data, marker->data_length);
            if (orientation != 1) return orientation;
        }
    }
    return 1;
}

// CMYK and YCCK JPEGs are written by Adobe software with inverted ink values.
void CmykRowToRgb32(const uint8_t* cmyk, uint8_t* bgrx, int width) {
    for (int x = 0; x < width; ++x, cmyk += 4, bgrx += 4) {
        const int k = cmyk[3];
        bgrx[0] = static_cast<uint8_t>((cmyk[2] * k + 127) / 255);
        bgrx[1] = static_cast<uint8_t>((cmyk[1] * k + 127) / 255);
        bgrx[2] = static_cast<uint8_t>((cmyk[0] * k + 127) / 255);
        bgrx[3] = 255;
    }
}

}  // namespace

std::optional<JpegPicture> DecodeJpeg(int fd, int side, uint64_t memoryBudget, int maxScans) {
    JpegSession session(maxScans, memoryBudget);
    if (lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
    const int own = dup(fd);
    if (own < 0) return std::nullopt;
    session.file.reset(fdopen(own, "rb"));
    if (!session.file) {
        close(own);
        return std::nullopt;
    }
    if (!TryReadHeader(session)) return std::nullopt;

    jpeg_decompress_struct& cinfo = session.cinfo;
    const int width = static_cast<int>(cinfo.image_width);
    const int height = static_cast<int>(cinfo.image_height);
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    const int num = JpegScaleNumerator(width, height, side);
    if (!TryStart(session, num, cmyk ? JCS_CMYK : JCS_EXT_BGRA)) return std::nullopt;

    const int outWidth = static_cast<int>(cinfo.output_width);
    const int outHeight = static_cast<int>(cinfo.output_height);
    if (outWidth <= 0 || outHeight <= 0 || PictureBytes(outWidth, outHeight) > memoryBudget)
        return std::nullopt;

    JpegPicture result;
    result.orientation = OrientationOf(cinfo);
    QColorSpace iccSpace;
    JOCTET* icc = nullptr;
    unsigned iccLength = 0;
    if (TryIccProfile(session, &icc, &iccLength) && icc) {
        iccSpace = QColorSpace::fromIccProfile(
            QByteArray(reinterpret_cast<const char*>(icc), static_cast<qsizetype>(iccLength)));
        std::free(icc);
    }

    result.image = QImage(outWidth, outHeight, QImage::Format_RGB32);
    if (result.image.isNull()) return std::nullopt;
    if (iccSpace.isValid() && !cmyk) result.image.setColorSpace(iccSpace);
    if (!TryStartDecompress(session)) return std::nullopt;

    std::unique_ptr<uint8_t[]> cmykRow(cmyk ? new uint8_t[size_t(outWidth) * 4] : nullptr);
    for (int y = 0; y < outHeight; ++y) {
        uint8_t* line = result.image.scanLine(y);
        if (!TryReadRow(session, cmyk ? cmykRow.get() : line)) return std::nullopt;
        if (cmyk) CmykRowToRgb32(cmykRow.get(), line, outWidth);
    }
    // The rest of the stream is not needed; jpeg_destroy_decompress drops it.
    return result;
}
