// The JPEG writer: marker preparation, and WriteJpegImage driving libjpeg-turbo through a
// 65536-byte stream destination and an error handler that returns to us by longjmp.
#include "imageio/jpeg_writer.h"

#include "imageio/errors.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

#include <jpeglib.h>
#include <jerror.h>

namespace {

constexpr uint8_t kApp1 = 0xE1;
constexpr uint8_t kApp13 = 0xED;
constexpr uint8_t kApp14 = 0xEE;

// The library's own message list. The copyright and version entries name the library build,
// which means nothing to our users, so they stay empty.
#define JCOPYRIGHT_SHORT ""
#define JVERSION ""
#define JMESSAGE(code, string) string,
const char* const kLibraryMessages[] = {
#include <jerror.h>
};
#undef JMESSAGE
#undef JVERSION
#undef JCOPYRIGHT_SHORT
static_assert(std::size(kLibraryMessages) == JMSG_LASTMSGCODE);

// Turns every printf conversion ("%d", "0x%02x", "%s") into a single "?": the writer reports
// what went wrong, not the library's internal values.
std::string WithQuestionMarks(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            ++p;
            continue;
        }
        ++p;
        while (*p != '\0' && std::strchr("-+ #0123456789.hlLqjzt", *p) != nullptr) ++p;
        if (*p == '\0') break;
        out += '?';
    }
    return out;
}

// ---- Error handler -------------------------------------------------------------------------

// The library's error manager plus what our hooks need. `pub` comes first so the library's
// pointer to it is a pointer to the whole record.
struct JpegErrorTrap {
    jpeg_error_mgr pub;
    uint8_t* abortFlag;
    std::jmp_buf jump;
};

JpegErrorTrap& TrapOf(j_common_ptr cinfo) { return *reinterpret_cast<JpegErrorTrap*>(cinfo->err); }

// Fatal library condition: back to the guarded call that is running (its setjmp), which
// reports failure; the exception is raised from there, outside the library's frames.
void ErrorExit(j_common_ptr cinfo) {
    JpegErrorTrap& trap = TrapOf(cinfo);
    if (trap.abortFlag != nullptr) *trap.abortFlag = 1;
    // "Too few scanlines" only describes an unfinished image; the abort flag says enough.
    if (cinfo->err->msg_code == JERR_TOO_LITTLE_DATA) return;
    std::longjmp(trap.jump, 1);
}

// Warnings are counted and otherwise ignored; trace messages are dropped.
void EmitMessage(j_common_ptr cinfo, int level) {
    if (level == -1) cinfo->err->num_warnings++;
}

void OutputMessage(j_common_ptr) {}

void FormatMessage(j_common_ptr, char* buffer) {
    if (buffer != nullptr) buffer[0] = '\0';
}

void ResetErrorMgr(j_common_ptr cinfo) {
    cinfo->err->num_warnings = 0;
    cinfo->err->msg_code = 0;
}

// ---- Destination ---------------------------------------------------------------------------

struct JpegDestination {
    jpeg_destination_mgr pub;
    TIOStream* stream;
    uint8_t* abortFlag;
    uint8_t* buffer;   // kJpegOutputBufferSize bytes, owned by the session
};

JpegDestination& DestinationOf(j_compress_ptr cinfo) {
    return *reinterpret_cast<JpegDestination*>(cinfo->dest);
}

// A stream that takes fewer bytes than offered has failed (disk full, closed pipe): the abort
// flag tells the row loop to stop. Nothing may be thrown through the library.
void WriteToStream(JpegDestination& dest, size_t count) noexcept {
    size_t accepted = 0;
    try {
        accepted = dest.stream->Write(dest.buffer, count);
    } catch (...) {
        accepted = 0;
    }
    if (accepted < count && dest.abortFlag != nullptr) *dest.abortFlag = 1;
}

void InitDestination(j_compress_ptr cinfo) {
    JpegDestination& dest = DestinationOf(cinfo);
    dest.pub.next_output_byte = dest.buffer;
    dest.pub.free_in_buffer = kJpegOutputBufferSize;
}

// The buffer is full: hand all of it to the stream. Never suspends.
boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    JpegDestination& dest = DestinationOf(cinfo);
    WriteToStream(dest, kJpegOutputBufferSize);
    dest.pub.next_output_byte = dest.buffer;
    dest.pub.free_in_buffer = kJpegOutputBufferSize;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    JpegDestination& dest = DestinationOf(cinfo);
    const size_t pending = kJpegOutputBufferSize - dest.pub.free_in_buffer;
    if (pending > 0) WriteToStream(dest, pending);
}

// ---- Session -------------------------------------------------------------------------------

// Owns the compressor and everything the library points into. Destroying the compressor is
// safe in every state, also after a library error or before creation.
struct JpegSession {
    jpeg_compress_struct cinfo{};
    JpegErrorTrap trap{};
    JpegDestination dest{};
    std::unique_ptr<uint8_t[]> outputBuffer;

    JpegSession(TIOStream& stream, uint8_t* abortFlag)
        : outputBuffer(std::make_unique<uint8_t[]>(kJpegOutputBufferSize)) {
        cinfo.err = jpeg_std_error(&trap.pub);
        trap.pub.error_exit = ErrorExit;
        trap.pub.emit_message = EmitMessage;
        trap.pub.output_message = OutputMessage;
        trap.pub.format_message = FormatMessage;
        trap.pub.reset_error_mgr = ResetErrorMgr;
        trap.abortFlag = abortFlag;

        dest.pub.init_destination = InitDestination;
        dest.pub.empty_output_buffer = EmptyOutputBuffer;
        dest.pub.term_destination = TermDestination;
        dest.stream = &stream;
        dest.abortFlag = abortFlag;
        dest.buffer = outputBuffer.get();
    }
    ~JpegSession() { jpeg_destroy_compress(&cinfo); }
    JpegSession(const JpegSession&) = delete;
    JpegSession& operator=(const JpegSession&) = delete;

    [[noreturn]] void Raise() const { throw EIOJpegException(JpegMessageText(trap.pub.msg_code)); }
};

// Everything the settings step hands the library; plain data, so it may live in the guarded
// frame below.
struct JpegSettings {
    JDIMENSION width;
    JDIMENSION height;
    int inputComponents;
    J_COLOR_SPACE inColorSpace;
    J_COLOR_SPACE outColorSpace;
    UINT16 xDensity;
    UINT16 yDensity;
    int dctMethod;          // -1 keeps the library's default
    bool optimizeCoding;
    int smoothing;
    int quality;
    bool setSampling;       // YCbCr output: chroma components 1 x 1
    int lumaH;              // 0 keeps the library's 2 x 2 for the luminance
    int lumaV;
    bool forceJfif;
    bool progressive;
};

// The guarded steps. Each frame holds only C data: the error hook jumps back here, and a jump
// over a C++ destructor would be undefined behaviour. Each returns false after a library error;
// the caller raises.

bool TryCreate(JpegSession& s) noexcept {
    if (setjmp(s.trap.jump)) return false;
    jpeg_create_compress(&s.cinfo);
    s.cinfo.dest = &s.dest.pub;
    return true;
}

bool TryApplySettings(JpegSession& s, const JpegSettings& st) noexcept {
    if (setjmp(s.trap.jump)) return false;
    j_compress_ptr c = &s.cinfo;
    c->image_width = st.width;
    c->image_height = st.height;
    c->input_components = st.inputComponents;
    c->in_color_space = st.inColorSpace;
    jpeg_set_defaults(c);
    jpeg_set_colorspace(c, st.outColorSpace);
    c->density_unit = 1;  // dots per inch
    c->X_density = st.xDensity;
    c->Y_density = st.yDensity;
    if (st.dctMethod >= 0) c->dct_method = static_cast<J_DCT_METHOD>(st.dctMethod);
    c->optimize_coding = st.optimizeCoding ? TRUE : FALSE;
    c->smoothing_factor = st.smoothing;
    jpeg_set_quality(c, st.quality, TRUE);
    if (st.setSampling) {
        if (st.lumaH > 0) {
            c->comp_info[0].h_samp_factor = st.lumaH;
            c->comp_info[0].v_samp_factor = st.lumaV;
        }
        for (int i = 1; i < 3; ++i) {
            c->comp_info[i].h_samp_factor = 1;
            c->comp_info[i].v_samp_factor = 1;
        }
    }
    // The colour-space setting turns JFIF off for CMYK; CMYK files carry it all the same.
    if (st.forceJfif) c->write_JFIF_header = TRUE;
    if (st.progressive) jpeg_simple_progression(c);
    return true;
}

bool TryStart(JpegSession& s) noexcept {
    if (setjmp(s.trap.jump)) return false;
    jpeg_start_compress(&s.cinfo, TRUE);
    return true;
}

bool TryWriteMarker(JpegSession& s, int code, const JOCTET* data, unsigned int length) noexcept {
    if (setjmp(s.trap.jump)) return false;
    jpeg_write_marker(&s.cinfo, code, data, length);
    return true;
}

bool TryWriteRow(JpegSession& s, JSAMPROW row, JDIMENSION* accepted) noexcept {
    if (setjmp(s.trap.jump)) return false;
    *accepted = jpeg_write_scanlines(&s.cinfo, &row, 1);
    return true;
}

bool TryFinish(JpegSession& s) noexcept {
    if (setjmp(s.trap.jump)) return false;
    jpeg_finish_compress(&s.cinfo);
    return true;
}

// ---- Settings from the parameters ----------------------------------------------------------

UINT16 DensityOf(int dpi, int defaultDpi) {
    // The JFIF field has 16 bits: larger values keep their low 16 bits.
    return static_cast<UINT16>(static_cast<uint32_t>(dpi == 0 ? defaultDpi : dpi) & 0xFFFFu);
}

JpegSettings SettingsFor(TIOBitmap& work, const TIOParamsVals& params) {
    JpegSettings st{};
    st.width = static_cast<JDIMENSION>(work.Width());
    st.height = static_cast<JDIMENSION>(work.Height());
    // Buffer rows are B, G, R: the library's extended BGR input reads them as they are.
    st.inputComponents = 3;
    st.inColorSpace = JCS_EXT_BGR;
    switch (params.JpegColorSpace) {
        case 1: st.outColorSpace = JCS_GRAYSCALE; break;
        case 2: st.outColorSpace = JCS_YCbCr; break;
        case 3: st.outColorSpace = JCS_CMYK; break;
        case 4: st.outColorSpace = JCS_YCCK; break;
        default: st.outColorSpace = JCS_RGB; break;
    }
    if (st.outColorSpace == JCS_CMYK || st.outColorSpace == JCS_YCCK) {
        st.inputComponents = 4;
        st.inColorSpace = JCS_CMYK;
    }
    st.xDensity = DensityOf(params.HorizontalDpi, DefaultDpi.Horizontal);
    st.yDensity = DensityOf(params.VerticalDpi, DefaultDpi.Vertical);
    st.dctMethod = params.JpegDctMethod <= 2 ? params.JpegDctMethod : -1;
    st.optimizeCoding = params.JpegOptimalHuffman != 0;
    // The library expects 0..100; other values would overflow its smoothing weights.
    st.smoothing = std::clamp(params.JpegSmoothing, 0, 100);
    st.quality = params.JpegQuality;
    if (params.JpegColorSpace == 2) {
        st.setSampling = true;
        switch (params.JpegChromaSampling) {
            case 0: st.lumaH = 2; st.lumaV = 1; break;
            case 1: st.lumaH = 2; st.lumaV = 2; break;
            case 2: st.lumaH = 1; st.lumaV = 1; break;
            default: break;
        }
    }
    st.forceJfif = params.JpegColorSpace == 3;
    st.progressive = params.JpegProgressive != 0;
    return st;
}

// B, G, R to the inverted C, M, Y, K that CMYK JPEG readers expect (255 = no ink): K follows
// the brightest channel, and C, M, Y carry the colour relative to it, so a reader's
// R = C x K / 255 gives the original back.
void BgrRowToCmyk(const uint8_t* bgr, uint8_t* cmyk, int width) {
    for (int x = 0; x < width; ++x, bgr += 3, cmyk += 4) {
        const int b = bgr[0], g = bgr[1], r = bgr[2];
        const int k = std::max({r, g, b});
        if (k == 0) {
            cmyk[0] = cmyk[1] = cmyk[2] = 255;
        } else {
            cmyk[0] = static_cast<uint8_t>((r * 255 + k / 2) / k);
            cmyk[1] = static_cast<uint8_t>((g * 255 + k / 2) / k);
            cmyk[2] = static_cast<uint8_t>((b * 255 + k / 2) / k);
        }
        cmyk[3] = static_cast<uint8_t>(k);
    }
}

std::unique_ptr<TIOBitmap> Converted24BitCopy(TIOBitmap& source) {
    auto copy = std::make_unique<TIOBitmap>();
    copy->SetLocation(ioMemory);
    copy->AssignFrom(source);
    copy->RemoveAlphaChannel();
    copy->ConvertPixelFormat(io24RGB);
    return copy;
}

// ---- Metadata payloads ---------------------------------------------------------------------

void PutBE16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void PutBE32(std::vector<uint8_t>& out, uint32_t v) {
    PutBE16(out, v >> 16);
    PutBE16(out, v & 0xFFFF);
}

void PutLE16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutLE32(std::vector<uint8_t>& out, uint32_t v) {
    PutLE16(out, v & 0xFFFF);
    PutLE16(out, v >> 16);
}

// Removes the first APP1 entry whose payload passes `test`.
void RemoveFirstApp1(TIOMarkerList& markers, bool (*test)(const uint8_t*, size_t)) {
    for (int i = 0; i < markers.Count(); ++i) {
        const TIOMarker& m = markers[i];
        if (m.Code == kApp1 && test(m.Data.data(), m.Data.size())) {
            markers.RemoveMarker(i);
            return;
        }
    }
}

}  // namespace

std::string JpegMessageText(int code) {
    if (code < 0 || code >= static_cast<int>(std::size(kLibraryMessages))) return "Corrupted";
    return WithQuestionMarks(kLibraryMessages[code]);
}

// ---- WriteJpegImage --------------------------------------------------------------------------

void WriteJpegImage(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params,
                    TIOProgressRecord& progress) {
    // Without an abort byte from the caller the writer still needs somewhere to record a
    // short write.
    uint8_t localAbort = 0;
    uint8_t* abortFlag = progress.AbortFlag != nullptr ? progress.AbortFlag : &localAbort;

    // 1-2. Nothing to encode: the file stays empty and the caller learns it from the flag.
    if (bitmap.Width() == 0 || bitmap.Height() == 0) {
        *abortFlag = 1;
        return;
    }
    std::unique_ptr<TIOBitmap> copy;
    TIOBitmap* work = &bitmap;
    if (bitmap.PixelFormat() != io24RGB) {
        copy = Converted24BitCopy(bitmap);
        work = copy.get();
    }

    // 3. Error handler, destination, compressor.
    JpegSession session(stream, abortFlag);
    if (!TryCreate(session)) session.Raise();
    if (*abortFlag != 0) return;

    // 4-8. Settings.
    const JpegSettings settings = SettingsFor(*work, params);
    if (!TryApplySettings(session, settings)) session.Raise();

    // 9. SOI and the JFIF/Adobe segments.
    if (!TryStart(session)) session.Raise();

    // 10. Our markers, in write order. The library writes its own Adobe segment where the
    // colour space needs one, so APP14 entries are left out. The full length goes to the
    // library, which refuses a payload too long for a segment instead of cutting it short.
    params.JpegMarkers.SortMarkers();
    for (const TIOMarker& m : params.JpegMarkers.Items()) {
        if (m.Code == kApp14) continue;
        if (!TryWriteMarker(session, m.Code, m.Data.empty() ? nullptr : m.Data.data(),
                            static_cast<unsigned int>(m.Data.size())))
            session.Raise();
    }

    // 11. Progress: one report per distinct percentage.
    const int height = work->Height();
    const int width = work->Width();
    progress.Scale = 100.0 / height;
    progress.Counter = 0;
    int lastPercent = -1;

    // Only CMYK and YCCK output need a converted row; the others read the buffer's rows.
    const bool cmykRows = settings.inColorSpace == JCS_CMYK;
    std::vector<uint8_t> rowBuffer(cmykRows ? static_cast<size_t>(width) * 4 : 0);

    // 12. Rows, top first.
    int y = 0;
    while (session.cinfo.next_scanline < session.cinfo.image_height) {
        JSAMPROW row = work->ScanLine(y);
        if (cmykRows) {
            BgrRowToCmyk(row, rowBuffer.data(), width);
            row = rowBuffer.data();
        }
        JDIMENSION accepted = 0;
        if (!TryWriteRow(session, row, &accepted)) session.Raise();
        if (accepted == 0) {
            // The destination never suspends, so this cannot happen; stop rather than spin.
            *abortFlag = 1;
            break;
        }
        y += static_cast<int>(accepted);
        progress.Counter += static_cast<int>(accepted);
        if (progress.Handler != nullptr) {
            // Exact integer percentage: Counter x Scale in floating point can land just
            // below a whole number (99 for the last of 97 rows).
            const int percent = static_cast<int>(static_cast<int64_t>(progress.Counter) * 100 / height);
            if (percent != lastPercent) {
                lastPercent = percent;
                progress.Report(percent);
            }
        }
        if (*abortFlag != 0) break;
    }

    // 13. The rest of the data, EOI and the last block.
    if (*abortFlag == 0 && !TryFinish(session)) session.Raise();
    // 14. The session and the copy are released by their owners.
}

// ---- Marker preparation --------------------------------------------------------------------

void UpdateResolutionResource(TIOParamsVals& params) {
    TIOMarkerList& markers = params.JpegMarkers;
    const int index = markers.FindMarker(kApp13);
    if (index < 0) return;
    std::vector<uint8_t>& data = markers[index].Data;
    static constexpr uint8_t kTag[] = {'8', 'B', 'I', 'M', 0x03, 0xED};
    const auto found = std::search(data.begin(), data.end(), std::begin(kTag), std::end(kTag));
    if (found == data.end()) return;
    size_t p = static_cast<size_t>(found - data.begin()) + sizeof(kTag);

    // The resource name is a Pascal string padded to an even size (two zero bytes when empty).
    if (p >= data.size()) return;
    p += (static_cast<size_t>(data[p]) + 2) & ~static_cast<size_t>(1);
    if (p + 4 > data.size()) return;
    const uint32_t size = (uint32_t{data[p]} << 24) | (uint32_t{data[p + 1]} << 16) |
                          (uint32_t{data[p + 2]} << 8) | uint32_t{data[p + 3]};
    p += 4;
    if (size < 16 || p + 16 > data.size()) return;

    // Resolution info: each axis as 16.16 fixed-point dots per inch, then display unit 1
    // (pixels per inch) and width/height unit 1 (inches).
    std::vector<uint8_t> info;
    PutBE32(info, static_cast<uint32_t>(params.HorizontalDpi) << 16);
    PutBE16(info, 1);
    PutBE16(info, 1);
    PutBE32(info, static_cast<uint32_t>(params.VerticalDpi) << 16);
    PutBE16(info, 1);
    PutBE16(info, 1);
    std::copy(info.begin(), info.end(), data.begin() + static_cast<std::ptrdiff_t>(p));
}

std::vector<uint8_t> EncodeIptcPayload(const TIOIPTCInfoList& iptc) {
    if (iptc.Count() == 0) return {};
    // IPTC-IIM datasets: tag marker 0x1C, record, dataset, then the length (a 15-bit count, or
    // the extended form with bit 15 set and a 4-byte count).
    std::vector<uint8_t> records;
    for (const TIOIPTCRecord& r : iptc.Items()) {
        records.push_back(0x1C);
        records.push_back(r.Record);
        records.push_back(r.DataSet);
        if (r.Data.size() <= 0x7FFF) {
            PutBE16(records, static_cast<uint32_t>(r.Data.size()));
        } else {
            PutBE16(records, 0x8004);
            PutBE32(records, static_cast<uint32_t>(r.Data.size()));
        }
        records.insert(records.end(), r.Data.begin(), r.Data.end());
    }
    static constexpr char kHeader[] = "Photoshop 3.0";  // with its terminator
    std::vector<uint8_t> out(kHeader, kHeader + sizeof(kHeader));
    out.insert(out.end(), {'8', 'B', 'I', 'M', 0x04, 0x04, 0x00, 0x00});  // resource 0x0404, no name
    PutBE32(out, static_cast<uint32_t>(records.size()));
    out.insert(out.end(), records.begin(), records.end());
    if (records.size() % 2 != 0) out.push_back(0);  // resource data is padded to even size
    return out;
}

std::vector<uint8_t> EncodeExifPayload(const TIOParamsVals& params) {
    // "Exif", 0, 0, then a little-endian TIFF header and IFD0 with the resolution tags.
    // Offsets count from the TIFF header.
    std::vector<uint8_t> out = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0};
    PutLE32(out, 8);                 // IFD0 offset
    constexpr uint32_t kEntries = 3;
    constexpr uint32_t kValues = 8 + 2 + kEntries * 12 + 4;
    PutLE16(out, kEntries);
    PutLE16(out, 0x011A); PutLE16(out, 5); PutLE32(out, 1); PutLE32(out, kValues);      // XResolution
    PutLE16(out, 0x011B); PutLE16(out, 5); PutLE32(out, 1); PutLE32(out, kValues + 8);  // YResolution
    PutLE16(out, 0x0128); PutLE16(out, 3); PutLE32(out, 1); PutLE32(out, 2);            // unit: inch
    PutLE32(out, 0);                 // no further IFD
    const auto dpi = [](int v, int fallback) { return static_cast<uint32_t>(v == 0 ? fallback : v); };
    PutLE32(out, dpi(params.HorizontalDpi, DefaultDpi.Horizontal)); PutLE32(out, 1);
    PutLE32(out, dpi(params.VerticalDpi, DefaultDpi.Vertical)); PutLE32(out, 1);
    return out;
}

std::vector<uint8_t> EncodeXmpPayload(const std::string& xmpText) {
    static constexpr char kSignature[] = "http://ns.adobe.com/xap/1.0/";  // 28 + terminator
    std::vector<uint8_t> out(kSignature, kSignature + sizeof(kSignature));
    out.insert(out.end(), xmpText.begin(), xmpText.end());
    return out;
}

void PrepareJpegMarkers(TIOParamsVals& params) {
    TIOMarkerList& markers = params.JpegMarkers;

    // 1. Resolution resource in APP13.
    UpdateResolutionResource(params);

    // 2. IPTC. Payloads keep their full length; a segment too long for the format is refused
    // by the library when written, rather than cut short here.
    if (params.IptcInfo.Changed || (params.IptcInfo.Count() > 0 && markers.Count() == 0)) {
        std::vector<uint8_t> payload = EncodeIptcPayload(params.IptcInfo);
        const int index = markers.FindMarker(kApp13);
        if (!payload.empty()) {
            if (index >= 0) {
                markers[index] = TIOMarker{kApp13, std::move(payload)};
            } else {
                markers.AddMarker(kApp13, std::move(payload));
            }
        } else if (index >= 0) {
            markers.RemoveMarker(index);
        }
    }

    // 3. EXIF.
    if (params.ExifPresent != 0) {
        std::vector<uint8_t> payload = EncodeExifPayload(params);
        RemoveFirstApp1(markers, IsExifPayload);
        markers.AddMarker(kApp1, std::move(payload));
    }

    // 4. XMP: an old packet goes whatever the new text is.
    RemoveFirstApp1(markers, IsXmpPayload);
    if (!params.XmpText.empty()) markers.AddMarker(kApp1, EncodeXmpPayload(params.XmpText));
}

void WriteJpegWithMarkers(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params,
                          TIOProgressRecord& progress) {
    PrepareJpegMarkers(params);
    WriteJpegImage(stream, bitmap, params, progress);
}
