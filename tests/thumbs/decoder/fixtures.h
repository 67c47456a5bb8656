// Input files made in code for the decoding tests, and small helpers to look at results.
#pragma once

#include "imageio/platform_bitmap.h"

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <string>

// A temporary folder that files are written into by name (bytes, any name). Removed with
// std::filesystem, which keeps names that are not UTF-8 (Qt's removal skips them).
class FixtureDir {
public:
    FixtureDir();
    ~FixtureDir();
    FixtureDir(const FixtureDir&) = delete;
    FixtureDir& operator=(const FixtureDir&) = delete;
    std::string Path(const std::string& name) const;
    std::string Write(const std::string& name, const QByteArray& bytes) const;

private:
    std::string path_;
};

QImage SolidImage(int width, int height, QColor colour);
// Quadrants: top-left red, top-right green, bottom-left blue, bottom-right yellow.
QImage QuadrantImage(int width, int height);

// Encodes with Qt's writers ("png", "bmp", "tiff", "webp", "jpeg"); quality -1 is the default.
QByteArray EncodeQt(const QImage& image, const char* format, int quality = -1, bool progressive = false);
// A GIF written by hand: 4-colour palette, each pixel its own LZW code after a clear code.
QByteArray EncodeGif(const QImage& image);
// A one-page PDF of width x height points filled with one colour.
QByteArray MakePdf(double widthPoints, double heightPoints, QColor colour);

// The APP1 payload ("Exif\0\0" + TIFF) carrying one orientation tag.
QByteArray ExifPayload(int orientation, bool bigEndian);
// A JPEG with that EXIF block inserted after its start marker.
QByteArray JpegWithExif(const QImage& image, int orientation);
// The image header rewritten to claim other dimensions (CRC fixed for PNG).
QByteArray PatchPngSize(QByteArray png, uint32_t width, uint32_t height);
QByteArray PatchJpegSize(QByteArray jpeg, uint16_t width, uint16_t height);
// The JPEG's first scan repeated `copies` more times.
QByteArray RepeatFirstScan(const QByteArray& jpeg, int copies);

QColor ColourAt(const TBitmap& bitmap, int x, int y);
// Largest difference of one channel.
int ColourDistance(QColor a, QColor b);
