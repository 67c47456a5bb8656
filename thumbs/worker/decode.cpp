// The worker's decoders: libjpeg-turbo for JPEG, Qt's readers for the other rasters,
// QSvgRenderer for SVG, poppler for the first page of a PDF.
#include "thumbs/worker/decode.h"

#include "thumbs/worker/format_sniff.h"
#include "thumbs/worker/jpeg_decode.h"
#include "thumbs/worker/picture_fit.h"
#include "thumbs/worker/svg_cleaner.h"

#include <QColorSpace>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>
#include <QTransform>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <poppler-qt6.h>
#include <unistd.h>

namespace {

bool ReadHead(int fd, std::vector<uint8_t>& head) {
    head.resize(kSniffBytes);
    ssize_t got = 0;
    do {
        got = pread(fd, head.data(), head.size(), 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    head.resize(static_cast<size_t>(got));
    return true;
}

// The whole file, refused when it is longer than `limit`.
std::optional<QByteArray> ReadAll(int fd, qsizetype limit) {
    QByteArray data;
    char chunk[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = pread(fd, chunk, sizeof chunk, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) return data;
        if (data.size() + got > limit) return std::nullopt;
        data.append(chunk, got);
        offset += got;
    }
}

// Qt opens the descriptor without taking it over; the caller closes it.
bool OpenDevice(QFile& file, int fd) {
    if (lseek(fd, 0, SEEK_SET) != 0) return false;
    return file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle);
}

std::optional<QImage> ReadWithQt(int fd, const char* format, int side, const WorkerLimits& limits,
                                 bool scaled) {
    QFile file;
    if (!OpenDevice(file, fd)) return std::nullopt;
    QImageReader reader(&file, format);
    // Only the plugin of the sniffed format may look at the data.
    reader.setAutoDetectImageFormat(false);
    reader.setAutoTransform(true);
    if (!reader.canRead()) return std::nullopt;
    const QSize full = reader.size();
    if (full.isValid()) {
        if (full.isEmpty() || PictureBytes(full.width(), full.height()) > limits.memoryBudget)
            return std::nullopt;
        const PictureSize target = FitWithin(full.width(), full.height(), side);
        // The reader applies the orientation after scaling; the square box makes that the same.
        if (scaled && (target.width != full.width() || target.height != full.height()))
            reader.setScaledSize(QSize(target.width, target.height));
    }
    QImage image;
    if (!reader.read(&image) || image.isNull()) return std::nullopt;
    return image;
}

std::optional<QImage> RenderSvg(SniffedFormat format, int fd, int side, const WorkerLimits& limits) {
    std::optional<QByteArray> text = ReadAll(fd, limits.maxSvgBytes);
    if (!text) return std::nullopt;
    if (format == SniffedFormat::SvgGzip) {
        text = InflateGzip(*text, limits.maxSvgBytes);
        if (!text || !LooksLikeSvg(reinterpret_cast<const uint8_t*>(text->constData()),
                                   static_cast<size_t>(text->size())))
            return std::nullopt;
    }
    const std::optional<QByteArray> clean = StripExternalReferences(*text);
    if (!clean) return std::nullopt;
    QSvgRenderer renderer;
    if (!renderer.load(*clean) || !renderer.isValid()) return std::nullopt;
    QSizeF nominal = renderer.defaultSize();
    if (nominal.isEmpty()) nominal = renderer.viewBoxF().size();
    const PictureSize target = FitVector(nominal.width(), nominal.height(), side);
    if (target.width <= 0) return std::nullopt;
    QImage image(target.width, target.height, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) return std::nullopt;
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    renderer.render(&painter, QRectF(0, 0, target.width, target.height));
    painter.end();
    return image;
}

std::optional<QImage> RenderPdfFirstPage(int fd, int side) {
    QFile file;
    if (!OpenDevice(file, fd)) return std::nullopt;
    std::unique_ptr<Poppler::Document> document = Poppler::Document::load(&file);
    if (!document || document->isLocked() || document->numPages() < 1) return std::nullopt;
    std::unique_ptr<Poppler::Page> page = document->page(0);
    if (!page) return std::nullopt;
    const QSizeF points = page->pageSizeF();  // 1/72 inch, the page's rotation applied
    const PictureSize target = FitVector(points.width(), points.height(), side);
    if (target.width <= 0) return std::nullopt;
    const double dpi = 72.0 * target.width / points.width();
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    QImage image = page->renderToImage(dpi, dpi);
    if (image.isNull()) return std::nullopt;
    return image;
}

QImage Oriented(const QImage& image, int orientation) {
    switch (orientation) {
    case 2: return image.mirrored(true, false);
    case 3: return image.mirrored(true, true);
    case 4: return image.mirrored(false, true);
    case 5: return image.mirrored(false, true).transformed(QTransform().rotate(90));  // transpose
    case 6: return image.transformed(QTransform().rotate(90));
    case 7: return image.mirrored(true, false).transformed(QTransform().rotate(90));  // transverse
    case 8: return image.transformed(QTransform().rotate(270));
    default: return image;
    }
}

uint8_t Over(int premultiplied, int alpha, int background) {
    return static_cast<uint8_t>(std::min(255, premultiplied + (background * (255 - alpha) + 127) / 255));
}

}  // namespace

void ApplyDecoderLimits(const WorkerLimits& limits) {
    QImageReader::setAllocationLimit(static_cast<int>(limits.memoryBudget >> 20));
}

bool PngHasIccProfile(int fd) {
    // Chunks: 4-byte length, 4-byte type, data, 4-byte CRC. iCCP must come before IDAT.
    off_t offset = 8;
    for (int chunk = 0; chunk < 4096; ++chunk) {
        uint8_t header[8];
        if (pread(fd, header, sizeof header, offset) != static_cast<ssize_t>(sizeof header)) return false;
        const uint32_t length = uint32_t(header[0]) << 24 | uint32_t(header[1]) << 16 |
                                uint32_t(header[2]) << 8 | header[3];
        if (std::memcmp(header + 4, "iCCP", 4) == 0) return true;
        if (std::memcmp(header + 4, "IDAT", 4) == 0 || std::memcmp(header + 4, "IEND", 4) == 0) return false;
        if (length > 0x7FFFFFFFu) return false;
        offset += off_t{12} + length;
    }
    return false;
}

FinishedPicture FinishPicture(QImage image, int orientation, int side, Background background) {
    const QColorSpace space = image.colorSpace();
    const bool alpha = image.hasAlphaChannel();
    image = image.convertToFormat(alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    const PictureSize target = FitWithin(image.width(), image.height(), side);
    if (target.width != image.width() || target.height != image.height()) {
        // Qt's smooth shrink averages every source pixel a target pixel covers.
        image = image.scaled(target.width, target.height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    image = Oriented(image, orientation);
    if (space.isValid() && space != QColorSpace(QColorSpace::SRgb)) {
        image.setColorSpace(space);
        image.convertToColorSpace(QColorSpace::SRgb);
        image = image.convertToFormat(alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    }

    FinishedPicture picture;
    picture.width = image.width();
    picture.height = image.height();
    picture.bgr.resize(size_t(picture.width) * size_t(picture.height) * 3);
    uint8_t* out = picture.bgr.data();
    for (int y = 0; y < picture.height; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < picture.width; ++x, out += 3) {
            const QRgb pixel = line[x];
            if (!alpha) {
                out[0] = static_cast<uint8_t>(qBlue(pixel));
                out[1] = static_cast<uint8_t>(qGreen(pixel));
                out[2] = static_cast<uint8_t>(qRed(pixel));
            } else {
                const int a = qAlpha(pixel);
                out[0] = Over(qBlue(pixel), a, background.b);
                out[1] = Over(qGreen(pixel), a, background.g);
                out[2] = Over(qRed(pixel), a, background.r);
            }
        }
    }
    return picture;
}

std::optional<FinishedPicture> DecodeInput(int fd, int side, Background background, const WorkerLimits& limits) {
    std::vector<uint8_t> head;
    if (!ReadHead(fd, head)) return std::nullopt;
    const SniffedFormat format = SniffFormat(head.data(), head.size());
    switch (format) {
    case SniffedFormat::Unknown:
        return std::nullopt;
    case SniffedFormat::Jpeg: {
        std::optional<JpegPicture> jpeg = DecodeJpeg(fd, side, limits.memoryBudget, limits.maxJpegScans);
        if (!jpeg) return std::nullopt;
        return FinishPicture(std::move(jpeg->image), jpeg->orientation, side, background);
    }
    case SniffedFormat::Svg:
    case SniffedFormat::SvgGzip: {
        std::optional<QImage> image = RenderSvg(format, fd, side, limits);
        if (!image) return std::nullopt;
        return FinishPicture(std::move(*image), 1, side, background);
    }
    case SniffedFormat::Pdf: {
        std::optional<QImage> image = RenderPdfFirstPage(fd, side);
        if (!image) return std::nullopt;
        return FinishPicture(std::move(*image), 1, side, background);
    }
    default: {
        std::optional<QImage> image = ReadWithQt(fd, QtReaderFormat(format), side, limits, true);
        if (!image) return std::nullopt;
        // Qt also derives a colour space from a bare gamma chunk; only a real profile counts.
        if (format == SniffedFormat::Png && !PngHasIccProfile(fd)) image->setColorSpace(QColorSpace());
        return FinishPicture(std::move(*image), 1, side, background);
    }
    }
}

std::optional<FinishedPicture> DecodeCachedThumbnail(int fd, const QByteArray& uri, int64_t mtime,
                                                     int64_t fileSize, int side, Background background,
                                                     const WorkerLimits& limits) {
    std::vector<uint8_t> head;
    if (!ReadHead(fd, head) || SniffFormat(head.data(), head.size()) != SniffedFormat::Png) return std::nullopt;
    // Read whole: the keys may sit anywhere among the chunks, and cached pictures are small.
    std::optional<QImage> image = ReadWithQt(fd, "png", side, limits, false);
    if (!image) return std::nullopt;

    const QString entryUri = image->text(QStringLiteral("Thumb::URI"));
    if (entryUri.isEmpty() || entryUri != QString::fromUtf8(uri)) return std::nullopt;
    bool ok = false;
    const qlonglong entryMTime = image->text(QStringLiteral("Thumb::MTime")).trimmed().toLongLong(&ok);
    if (!ok || entryMTime != mtime) return std::nullopt;
    const QString sizeText = image->text(QStringLiteral("Thumb::Size")).trimmed();
    if (!sizeText.isEmpty()) {
        const qlonglong entrySize = sizeText.toLongLong(&ok);
        if (!ok || entrySize != fileSize) return std::nullopt;
    }
    if (!PngHasIccProfile(fd)) image->setColorSpace(QColorSpace());
    return FinishPicture(std::move(*image), 1, side, background);
}
