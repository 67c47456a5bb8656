// Makes an SVG document self-contained before it is drawn: the renderer would otherwise load
// images the document names by path, and a thumbnail must show only the file itself.
#pragma once

#include <QByteArray>
#include <optional>

// The document with every <image> (and <feImage>) removed unless its reference is inline data
// of an allowed raster format (JPEG, PNG, GIF, BMP, WebP, TIFF),
// and without its document type declaration, style-sheet instructions or unresolved entity
// references. nullopt when the text is not well-formed XML.
std::optional<QByteArray> StripExternalReferences(const QByteArray& svg);

// Inflates a gzip-compressed document, refusing output beyond `limit` bytes.
std::optional<QByteArray> InflateGzip(const QByteArray& compressed, qsizetype limit);
