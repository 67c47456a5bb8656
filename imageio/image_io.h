// TImageIO: the I/O object with the save dispatch, and TImageView, the invisible image
// component that owns the buffer the I/O object saves.
#pragma once

#include "imageio/bitmap.h"
#include "imageio/params.h"
#include "imageio/stream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TImageIO;
class TImageView;

using TIOProgressHandler = void (TImageIO::*)(void* sender, int percent);

// Handed by every per-format save to its writer.
struct TIOProgressRecord {
    TImageIO* Handler = nullptr;     // object whose DoProgress reports progress; none = no reports
    void* Sender = nullptr;
    int Counter = 0;
    double Scale = 0.0;
    uint8_t* AbortFlag = nullptr;    // writers stop when the byte it points to is non-zero

    // Calls the handler with the percentage, when one is assigned.
    void Report(int percent) const;
    bool Aborted() const { return AbortFlag != nullptr && *AbortFlag != 0; }
    void SetAborted() const {
        if (AbortFlag != nullptr) *AbortFlag = 1;
    }
};

// Writes the buffer to the stream. The JPEG and PNG entries include their format's own
// preparation (markers, opacity mask); the BMP entry reads BmpWriteAlpha itself.
using TIOWriteProc = void (*)(TIOStream& stream, TIOBitmap& bitmap, TIOParamsVals& params,
                              TIOProgressRecord& progress);

// The writers the dispatch calls; a null entry behaves as a format without a writer.
struct TIOWriterTable {
    TIOWriteProc Jpeg;
    TIOWriteProc Png;
    TIOWriteProc Gif;
    TIOWriteProc Bmp;
};
// Mutable so that tests can put a recording writer in a slot (and restore it).
TIOWriterTable& Writers();

// One entry of the process-wide registry of file formats.
struct TIOFileFormatInfo {
    int FileType = 0;
    std::string FullName;
    std::string Extensions;          // upper case, no dot, separated by ";"
    TIOWriteProc WriteFunction = nullptr;
};
// Registered formats in registration order; the built-ins come first.
std::vector<TIOFileFormatInfo>& FileFormats();
void RegisterFileFormat(TIOFileFormatInfo info);

// The lower-cased extension of a file name, dot included: the text from the last "." after
// the last "/"; empty when there is none. Only A to Z are lowered.
std::string ExtractLowerExtension(const std::string& name);

// File type codes stored in FileType after a save.
inline constexpr int kFileTypeJpeg = 3;
inline constexpr int kFileTypeGif = 2;
inline constexpr int kFileTypePng = 8;
inline constexpr int kFileTypeBmp = 5;

class TImageIO {
public:
    TImageIO();
    virtual ~TImageIO();
    TImageIO(const TImageIO&) = delete;
    TImageIO& operator=(const TImageIO&) = delete;

    TIOParamsVals Params;
    uint8_t AbortRequested = 0;
    std::function<void(void* sender, int percent)> OnProgress;
    std::function<void(void* sender)> OnFinishWork;

    // Writes the buffer to `name`, the format chosen by the extension.
    virtual void SaveToFile(const std::string& name);
    void SaveJpegFile(const std::string& name);
    void SavePngFile(const std::string& name);
    void SaveGifFile(const std::string& name);
    void SaveBmpFile(const std::string& name);
    void SaveToStreamBMP(TIOStream& stream);

    // The platform bitmap the program draws into.
    TBitmap* GetBitmap();
    TIOBitmap* IEBitmap() { return buffer_; }
    bool OwnsBuffer() const { return ownsBuffer_; }
    TImageView* AttachedView() const { return attachedView_; }
    void AttachView(TImageView* view);
    bool MakeConsistentBitmap(const std::vector<TIOPixelFormatId>& allowed);

    virtual void DoProgress(void* sender, int percent);
    virtual void DoFinishWork();

private:
    // Runs the JPEG-style frame (also PNG and the generic save) around one writer.
    void SaveFramed(const std::string& name, TIOWriteProc writer, int fileType, bool convertTo24,
                    bool setNameBeforeWrite);
    void ReportFinishOnExit();

    TIOBitmap* buffer_ = nullptr;
    std::unique_ptr<TIOBitmap> ownBuffer_;
    bool ownsBuffer_ = true;
    TBitmap* directBitmap_ = nullptr;
    TImageView* attachedView_ = nullptr;
};

// The invisible image component: a 24-bit platform bitmap of 0 x 0 bound to its buffer, and the
// I/O object made at construction.
class TImageView {
public:
    TImageView();
    ~TImageView();
    TImageView(const TImageView&) = delete;
    TImageView& operator=(const TImageView&) = delete;

    // The I/O object, made on first use and attached to this view.
    TImageIO* GetIO();
    TIOBitmap& IEBitmap() { return *buffer_; }
    bool LegacyBitmap = true;
    std::function<void(void* sender, int percent)> OnProgress;
    std::function<void(void* sender)> OnFinishWork;

private:
    std::unique_ptr<TBitmap> bitmap_;
    std::unique_ptr<TIOBitmap> buffer_;
    std::unique_ptr<TImageIO> io_;
};
