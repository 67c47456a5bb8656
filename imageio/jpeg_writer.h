// The JPEG writer: marker preparation on the save parameters and the encoder that drives
// libjpeg-turbo with a stream destination and an error handler of our own.
#pragma once

#include "imageio/bitmap.h"
#include "imageio/image_io.h"
#include "imageio/params.h"
#include "imageio/stream.h"

#include <cstdint>
#include <string>
#include <vector>

// Bytes the destination collects before handing them to the stream.
inline constexpr size_t kJpegOutputBufferSize = 65536;

// Encodes the buffer as one JPEG file into `stream`. A non-24-bit buffer is encoded from a
// private 24-bit copy. Library failures throw EIOJpegException with the library's message; a
// stream that stops accepting bytes, a 0 x 0 buffer or an abort from the progress handler set
// the abort flag and return normally. Sorts params.JpegMarkers.
void WriteJpegImage(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params,
                    TIOProgressRecord& progress);

// The JPEG entry of the writer table: the marker preparation, then WriteJpegImage.
void WriteJpegWithMarkers(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params,
                          TIOProgressRecord& progress);

// The marker preparation, in the order the save runs it.
void PrepareJpegMarkers(TIOParamsVals& params);
// Rewrites the resolution (resource 0x03ED) inside the first APP13 entry from the DPI fields.
void UpdateResolutionResource(TIOParamsVals& params);

// An APP13 "Photoshop 3.0" payload carrying the IPTC records as resource 0x0404; empty when
// there are no records.
std::vector<uint8_t> EncodeIptcPayload(const TIOIPTCInfoList& iptc);
// An APP1 EXIF payload: "Exif", 0, 0 and a little TIFF structure with the resolution.
std::vector<uint8_t> EncodeExifPayload(const TIOParamsVals& params);
// An APP1 XMP payload: the namespace identifier with its terminator, then the packet.
std::vector<uint8_t> EncodeXmpPayload(const std::string& xmpText);

// The text of a library message code, placeholders shown as "?"; "Corrupted" for codes the
// library does not know.
std::string JpegMessageText(int code);
