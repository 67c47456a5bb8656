// Helpers shared by the thumbnail tests: files, pictures and icon themes made in the test.
#pragma once

#include "imageio/platform_bitmap.h"

#include <QColor>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>

#include <fstream>
#include <string>

// Creates a folder and its missing parents.
inline void MakeDirs(const std::string& path) { QDir().mkpath(QString::fromStdString(path)); }

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// A solid square PNG of `colour` whose top-left `hole` x `hole` pixels are fully transparent.
inline void WriteSolidPng(const std::string& path, int width, int height, QColor colour, int hole = 0) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(colour);
    for (int y = 0; y < hole; ++y) {
        for (int x = 0; x < hole; ++x) image.setPixelColor(x, y, Qt::transparent);
    }
    image.save(QString::fromStdString(path), "PNG");
}

