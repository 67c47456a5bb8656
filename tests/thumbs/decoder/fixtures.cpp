// Fixture encoders and patchers for the decoding tests.
#include "fixtures.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>
#include <zlib.h>

FixtureDir::FixtureDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pictolith-decoder-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
    path_ = pattern;
}

FixtureDir::~FixtureDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string FixtureDir::Path(const std::string& name) const {
    return path_ + "/" + name;
}

std::string FixtureDir::Write(const std::string& name, const QByteArray& bytes) const {
    const std::string path = Path(name);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) throw std::runtime_error("cannot write fixture " + path);
    const size_t written = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), file);
    if (std::fclose(file) != 0 || written != static_cast<size_t>(bytes.size()))
        throw std::runtime_error("short fixture write " + path);
    return path;
}

QImage SolidImage(int width, int height, QColor colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QImage QuadrantImage(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(0, 0, width / 2, height / 2, QColor(255, 0, 0));
    painter.fillRect(width / 2, 0, width - width / 2, height / 2, QColor(0, 255, 0));
    painter.fillRect(0, height / 2, width / 2, height - height / 2, QColor(0, 0, 255));
    painter.fillRect(width / 2, height / 2, width - width / 2, height - height / 2, QColor(255, 255, 0));
    return image;
}

QByteArray EncodeQt(const QImage& image, const char* format, int quality, bool progressive) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (quality >= 0) writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    if (!writer.write(image)) throw std::runtime_error("Qt cannot write " + std::string(format));
    return bytes;
}

QByteArray EncodeGif(const QImage& source) {
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    std::vector<QRgb> palette;
    std::vector<uint8_t> indices;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y) | 0xFF000000u;
            size_t index = 0;
            while (index < palette.size() && palette[index] != pixel) ++index;
            if (index == palette.size()) palette.push_back(pixel);
            if (index > 255) throw std::runtime_error("GIF fixture with more than 256 colours");
            indices.push_back(static_cast<uint8_t>(index));
        }
    }
    auto le16 = [](QByteArray& out, int value) {
        out.append(static_cast<char>(value & 0xFF));
        out.append(static_cast<char>(value >> 8 & 0xFF));
    };
    QByteArray out("GIF89a");
    le16(out, image.width());
    le16(out, image.height());
    out.append(static_cast<char>(0xF7));  // global table of 256 entries
    out.append('\0');
    out.append('\0');
    for (int i = 0; i < 256; ++i) {
        const QRgb c = i < static_cast<int>(palette.size()) ? palette[static_cast<size_t>(i)] : 0;
        out.append(static_cast<char>(qRed(c)));
        out.append(static_cast<char>(qGreen(c)));
        out.append(static_cast<char>(qBlue(c)));
    }
    out.append(',');
    le16(out, 0);
    le16(out, 0);
    le16(out, image.width());
    le16(out, image.height());
    out.append('\0');
    out.append(static_cast<char>(8));  // minimum code size: 9-bit codes, clear 256, end 257
    // A clear code before every pixel keeps the table empty, so every code stays 9 bits.
    std::vector<uint8_t> data;
    uint32_t bits = 0;
    int count = 0;
    auto put = [&](uint32_t code) {
        bits |= code << count;
        count += 9;
        while (count >= 8) {
            data.push_back(static_cast<uint8_t>(bits & 0xFF));
            bits >>= 8;
            count -= 8;
        }
    };
    for (uint8_t index : indices) {
        put(256);
        put(index);
    }
    put(257);
    if (count > 0) data.push_back(static_cast<uint8_t>(bits & 0xFF));
    for (size_t at = 0; at < data.size(); at += 255) {
        const size_t length = std::min<size_t>(255, data.size() - at);
        out.append(static_cast<char>(length));
        out.append(reinterpret_cast<const char*>(data.data() + at), static_cast<qsizetype>(length));
    }
    out.append('\0');
    out.append(';');
    return out;
}

QByteArray MakePdf(double widthPoints, double heightPoints, QColor colour) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setResolution(72);
        writer.setPageSize(QPageSize(QSizeF(widthPoints, heightPoints), QPageSize::Point));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        QPainter painter(&writer);
        painter.fillRect(QRectF(0, 0, widthPoints, heightPoints), colour);
    }
    return bytes;
}

QByteArray ExifPayload(int orientation, bool bigEndian) {
    QByteArray out("Exif\0\0", 6);
    auto u16 = [&](int v) {
        if (bigEndian) {
            out.append(static_cast<char>(v >> 8));
            out.append(static_cast<char>(v & 0xFF));
        } else {
            out.append(static_cast<char>(v & 0xFF));
            out.append(static_cast<char>(v >> 8));
        }
    };
    auto u32 = [&](uint32_t v) {
        if (bigEndian) {
            u16(static_cast<int>(v >> 16));
            u16(static_cast<int>(v & 0xFFFF));
        } else {
            u16(static_cast<int>(v & 0xFFFF));
            u16(static_cast<int>(v >> 16));
        }
    };
    out.append(bigEndian ? "MM" : "II");
    u16(42);
    u32(8);        // IFD0 right after the header
    u16(2);        // two entries: an unrelated one first
    u16(0x010F);   // Make, ASCII, 4 bytes inline
    u16(2);
    u32(4);
    out.append("ACME", 4);
    u16(0x0112);   // Orientation, SHORT, 1 value
    u16(3);
    u32(1);
    u16(orientation);
    u16(0);
    u32(0);        // no next IFD
    return out;
}

QByteArray JpegWithExif(const QImage& image, int orientation) {
    const QByteArray jpeg = EncodeQt(image, "jpeg", 95);
    const QByteArray payload = ExifPayload(orientation, orientation % 2 == 0);
    QByteArray segment("\xFF\xE1", 2);
    const int length = static_cast<int>(payload.size()) + 2;
    segment.append(static_cast<char>(length >> 8));
    segment.append(static_cast<char>(length & 0xFF));
    segment.append(payload);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

QByteArray PatchPngSize(QByteArray png, uint32_t width, uint32_t height) {
    // Signature (8), IHDR length (4), "IHDR" (4), width at 16, height at 20, CRC at 29.
    auto put32 = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i) png[at + i] = static_cast<char>(v >> (24 - 8 * i) & 0xFF);
    };
    put32(16, width);
    put32(20, height);
    const uint32_t crc = static_cast<uint32_t>(
        crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(png.constData() + 12), 17));
    put32(29, crc);
    return png;
}

QByteArray PatchJpegSize(QByteArray jpeg, uint16_t width, uint16_t height) {
    for (qsizetype i = 2; i + 9 < jpeg.size(); ++i) {
        const auto marker = static_cast<uint8_t>(jpeg[i + 1]);
        if (static_cast<uint8_t>(jpeg[i]) == 0xFF && (marker == 0xC0 || marker == 0xC1 || marker == 0xC2)) {
            jpeg[i + 5] = static_cast<char>(height >> 8);
            jpeg[i + 6] = static_cast<char>(height & 0xFF);
            jpeg[i + 7] = static_cast<char>(width >> 8);
            jpeg[i + 8] = static_cast<char>(width & 0xFF);
            return jpeg;
        }
    }
    throw std::runtime_error("no frame header in JPEG fixture");
}

QByteArray RepeatFirstScan(const QByteArray& jpeg, int copies) {
    const qsizetype start = jpeg.indexOf(QByteArray("\xFF\xDA", 2));
    if (start < 0) throw std::runtime_error("no scan in JPEG fixture");
    // The scan runs to the next marker that is neither a stuffed 0xFF00 nor a restart marker.
    qsizetype end = start + 2;
    while (end + 1 < jpeg.size()) {
        const auto next = static_cast<uint8_t>(jpeg[end + 1]);
        if (static_cast<uint8_t>(jpeg[end]) == 0xFF && next != 0 && !(next >= 0xD0 && next <= 0xD7)) break;
        ++end;
    }
    const QByteArray scan = jpeg.mid(start, end - start);
    return jpeg.left(end) + scan.repeated(copies) + jpeg.mid(end);
}

QColor ColourAt(const TBitmap& bitmap, int x, int y) {
    const TIOColorBGR c = bitmap.PixelColor(x, y);
    return QColor(c.R, c.G, c.B);
}

int ColourDistance(QColor a, QColor b) {
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}
