// SVG clean-up with Qt's stream reader and writer, and a bounded gzip inflater.
#include "thumbs/worker/svg_cleaner.h"

#include "thumbs/worker/format_sniff.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <zlib.h>

namespace {

// Inline picture data the renderer may decode: a data URI whose content is one of the raster
// formats we decode anyway. The renderer would otherwise try every image plugin on it.
bool IsAllowedInlineData(QStringView reference) {
    const QStringView trimmed = reference.trimmed();
    if (!trimmed.startsWith(u"data:", Qt::CaseInsensitive)) return false;
    const qsizetype comma = trimmed.indexOf(u',');
    if (comma < 0) return false;
    const QStringView header = trimmed.mid(5, comma - 5);
    // Enough base64 for the sniffer's longest fixed signature; the rest is not needed here.
    const QByteArray head = trimmed.mid(comma + 1, 64).toLatin1();
    const QByteArray bytes = header.endsWith(u";base64", Qt::CaseInsensitive)
                                 ? QByteArray::fromBase64(head)
                                 : QByteArray::fromPercentEncoding(head);
    switch (SniffFormat(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()))) {
    case SniffedFormat::Jpeg:
    case SniffedFormat::Png:
    case SniffedFormat::Gif:
    case SniffedFormat::Bmp:
    case SniffedFormat::WebP:
    case SniffedFormat::Tiff:
        return true;
    default:
        return false;
    }
}

// The local part of a name as written ("xlink:href" -> "href"); namespace processing is off
// so that the document is copied with its own prefixes.
QStringView LocalName(QStringView qualified) {
    const qsizetype colon = qualified.lastIndexOf(u':');
    return colon < 0 ? qualified : qualified.mid(colon + 1);
}

// An element that draws another file, or inline data of a format outside the allow-list: its
// reference is in any attribute named "href" (plain or with a prefix such as xlink's).
bool ReferencesAnotherFile(const QXmlStreamReader& reader) {
    const QStringView name = LocalName(reader.qualifiedName());
    if (name != u"image" && name != u"feImage") return false;
    for (const QXmlStreamAttribute& attribute : reader.attributes()) {
        if (LocalName(attribute.qualifiedName()) == u"href" && !IsAllowedInlineData(attribute.value())) return true;
    }
    return false;
}

}  // namespace

std::optional<QByteArray> StripExternalReferences(const QByteArray& svg) {
    QXmlStreamReader reader(svg);
    reader.setNamespaceProcessing(false);
    QByteArray out;
    QXmlStreamWriter writer(&out);
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (ReferencesAnotherFile(reader)) {
                reader.skipCurrentElement();
                continue;
            }
            break;
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::EntityReference:
        case QXmlStreamReader::Invalid:
            continue;
        case QXmlStreamReader::ProcessingInstruction:
            continue;
        default:
            break;
        }
        writer.writeCurrentToken(reader);
    }
    if (reader.hasError()) return std::nullopt;
    return out;
}

std::optional<QByteArray> InflateGzip(const QByteArray& compressed, qsizetype limit) {
    z_stream stream{};
    // 16 + 15: a gzip wrapper around a deflate stream with the largest window.
    if (inflateInit2(&stream, 16 + 15) != Z_OK) return std::nullopt;
    QByteArray out;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.constData()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    char chunk[65536];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) break;
        const qsizetype produced = static_cast<qsizetype>(sizeof chunk - stream.avail_out);
        if (out.size() + produced > limit) {
            status = Z_MEM_ERROR;
            break;
        }
        out.append(chunk, produced);
        if (status == Z_OK && produced == 0 && stream.avail_in == 0) break;  // truncated input
    }
    inflateEnd(&stream);
    if (status != Z_STREAM_END) return std::nullopt;
    return out;
}
