// The save dispatch: the extension picks the per-format save, which creates the file, prepares
// the abort flag and progress record, calls its writer and reports the end of the work.
#include "imageio/image_io.h"

#include "imageio/errors.h"

#include <algorithm>

void TIOProgressRecord::Report(int percent) const {
    if (Handler != nullptr) Handler->DoProgress(Sender, percent);
}

namespace {

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

enum class TBuiltInWriter { Jpeg, Png, Gif, Bmp, None };

struct TDispatchRow {
    std::vector<const char*> extensions;
    TBuiltInWriter writer;
};

// Extensions of formats the program never writes are listed so that they are recognised and
// refused like an unknown extension, without a registry lookup.
const std::vector<TDispatchRow>& DispatchTable() {
    static const std::vector<TDispatchRow> table{
        {{".jpg", ".jpeg", ".jpe", ".jif"}, TBuiltInWriter::Jpeg},
        {{".jp2"}, TBuiltInWriter::None},
        {{".j2k", ".jpc", ".j2c"}, TBuiltInWriter::None},
        {{".pcx"}, TBuiltInWriter::None},
        {{".dcx"}, TBuiltInWriter::None},
        {{".gif"}, TBuiltInWriter::Gif},
        {{".tif", ".tiff", ".fax", ".g3f", ".g3n"}, TBuiltInWriter::None},
        {{".png"}, TBuiltInWriter::Png},
        {{".bmp", ".dib", ".rle"}, TBuiltInWriter::Bmp},
        {{".tga", ".targa", ".vda", ".icb", ".vst", ".win"}, TBuiltInWriter::None},
        {{".pxm", ".pbm", ".pgm", ".ppm"}, TBuiltInWriter::None},
        {{".ico"}, TBuiltInWriter::None},
        {{".wbmp"}, TBuiltInWriter::None},
        {{".ps", ".eps"}, TBuiltInWriter::None},
        {{".pdf"}, TBuiltInWriter::None},
        {{".psd"}, TBuiltInWriter::None},
        {{".hdp", ".wdp"}, TBuiltInWriter::None},
    };
    return table;
}

}  // namespace

std::vector<TIOFileFormatInfo>& FileFormats() {
    static std::vector<TIOFileFormatInfo> formats{
        {kFileTypeJpeg, "JPEG Bitmap", "JPG;JPEG;JPE;JIF", nullptr},
        {kFileTypeGif, "CompuServe Bitmap", "GIF", nullptr},
        {kFileTypePng, "Portable Network Graphics", "PNG", nullptr},
        {kFileTypeBmp, "Windows Bitmap", "BMP;DIB;RLE", nullptr},
    };
    return formats;
}

void RegisterFileFormat(TIOFileFormatInfo info) { FileFormats().push_back(std::move(info)); }

std::string ExtractLowerExtension(const std::string& name) {
    const std::string lower = LowerAscii(name);
    const size_t dot = lower.rfind('.');
    const size_t slash = lower.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return lower.substr(dot);
}

TImageIO::TImageIO() : Params(this), ownBuffer_(std::make_unique<TIOBitmap>()) { buffer_ = ownBuffer_.get(); }

TImageIO::~TImageIO() = default;

void TImageIO::AttachView(TImageView* view) {
    attachedView_ = view;
    ownBuffer_.reset();
    buffer_ = &view->IEBitmap();
    ownsBuffer_ = false;
    OnProgress = view->OnProgress;
    OnFinishWork = view->OnFinishWork;
}

TBitmap* TImageIO::GetBitmap() {
    if (buffer_ != nullptr && buffer_->Location() == ioTBitmap) return &buffer_->PlatformBitmap();
    return directBitmap_;
}

bool TImageIO::MakeConsistentBitmap(const std::vector<TIOPixelFormatId>& allowed) {
    if (buffer_ == nullptr) return false;
    if (directBitmap_ != nullptr) buffer_->BindPlatformBitmap(directBitmap_, false);
    if (!allowed.empty() && std::find(allowed.begin(), allowed.end(), buffer_->PixelFormat()) == allowed.end())
        return false;
    return true;
}

void TImageIO::DoProgress(void* sender, int percent) {
    if (OnProgress) OnProgress(sender, percent);
}

void TImageIO::DoFinishWork() {
    DoProgress(this, 100);
    if (OnFinishWork) OnFinishWork(this);
}

void TImageIO::SaveToFile(const std::string& name) {
    const std::string extension = ExtractLowerExtension(name);
    if (name.empty()) return;

    for (const TDispatchRow& row : DispatchTable()) {
        if (std::find(row.extensions.begin(), row.extensions.end(), extension) == row.extensions.end()) continue;
        switch (row.writer) {
        case TBuiltInWriter::Jpeg: SaveJpegFile(name); return;
        case TBuiltInWriter::Png: SavePngFile(name); return;
        case TBuiltInWriter::Gif: SaveGifFile(name); return;
        case TBuiltInWriter::Bmp: SaveBmpFile(name); return;
        case TBuiltInWriter::None: AbortRequested = 1; return;
        }
    }

    const std::string wanted = extension.empty() ? extension : extension.substr(1);
    for (const TIOFileFormatInfo& format : FileFormats()) {
        std::string list = LowerAscii(format.Extensions);
        size_t start = 0;
        while (start <= list.size()) {
            const size_t end = std::min(list.find(';', start), list.size());
            if (!wanted.empty() && list.compare(start, end - start, wanted) == 0) {
                if (format.WriteFunction == nullptr) {
                    AbortRequested = 1;
                    return;
                }
                SaveFramed(name, format.WriteFunction, format.FileType, true, true);
                return;
            }
            start = end + 1;
        }
    }
    AbortRequested = 1;
}

// The frame shared by the JPEG, PNG and generic saves. DoFinishWork runs at the end, whether the
// save returns or raises, once it got past setting the abort flag.
void TImageIO::SaveFramed(const std::string& name, TIOWriteProc writer, int fileType, bool convertTo24,
                          bool setNameBeforeWrite) {
    if (writer == nullptr) {
        AbortRequested = 1;
        return;
    }
    AbortRequested = 1;
    TIOProgressRecord progress;
    progress.AbortFlag = &AbortRequested;
    try {
        if (!MakeConsistentBitmap({})) {
            DoFinishWork();
            return;
        }
        const TIOPixelFormatId format = buffer_->PixelFormat();
        if (convertTo24 && format != io24RGB && format != io1g) buffer_->ConvertPixelFormat(io24RGB);
        TIOWideFileStream stream(name, TIOWideFileStream::kCreate);
        AbortRequested = 0;
        progress.Handler = this;
        progress.Sender = this;
        if (setNameBeforeWrite) {
            Params.FileName = name;
            Params.FileType = fileType;
        }
        writer(stream, *buffer_, Params, progress);
        Params.FileName = name;
        Params.FileType = fileType;
        // A close that fails loses data just as a short write does.
        if (!stream.Close()) AbortRequested = 1;
    } catch (...) {
        DoFinishWork();
        throw;
    }
    DoFinishWork();
}

void TImageIO::SaveJpegFile(const std::string& name) { SaveFramed(name, Writers().Jpeg, kFileTypeJpeg, true, false); }

void TImageIO::SavePngFile(const std::string& name) { SaveFramed(name, Writers().Png, kFileTypePng, false, false); }

void TImageIO::SaveGifFile(const std::string& name) {
    const TIOWriteProc writer = Writers().Gif;
    if (writer == nullptr) {
        AbortRequested = 1;
        return;
    }
    TIOProgressRecord progress;
    try {
        AbortRequested = 1;
        TIOWideFileStream stream(name, TIOWideFileStream::kCreate);
        AbortRequested = 0;
        progress.AbortFlag = &AbortRequested;
        if (MakeConsistentBitmap({})) {
            progress.Handler = this;
            progress.Sender = this;
            writer(stream, *buffer_, Params, progress);
            Params.FileName = name;
            Params.FileType = kFileTypeGif;
        }
        if (!stream.Close()) AbortRequested = 1;
    } catch (...) {
        DoFinishWork();
        throw;
    }
    DoFinishWork();
}

void TImageIO::SaveBmpFile(const std::string& name) {
    if (Writers().Bmp == nullptr) {
        AbortRequested = 1;
        return;
    }
    AbortRequested = 1;
    TIOWideFileStream stream(name, TIOWideFileStream::kCreate);
    SaveToStreamBMP(stream);
    Params.FileName = name;
    Params.FileType = kFileTypeBmp;
    if (!stream.Close()) AbortRequested = 1;
}

// DoFinishWork runs at the end of this step, so before the file is closed.
void TImageIO::SaveToStreamBMP(TIOStream& stream) {
    const TIOWriteProc writer = Writers().Bmp;
    AbortRequested = 0;
    TIOProgressRecord progress;
    progress.AbortFlag = &AbortRequested;
    try {
        if (writer == nullptr) {
            AbortRequested = 1;
        } else if (MakeConsistentBitmap({})) {
            progress.Handler = this;
            progress.Sender = this;
            writer(stream, *buffer_, Params, progress);
        }
    } catch (...) {
        DoFinishWork();
        throw;
    }
    DoFinishWork();
}

TImageView::TImageView()
    : bitmap_(std::make_unique<TBitmap>()), buffer_(std::make_unique<TIOBitmap>()) {
    bitmap_->SetBitsPerPixel(24);
    bitmap_->SetSize(0, 0);
    buffer_->BindPlatformBitmap(bitmap_.get(), false);
    GetIO();
}

TImageView::~TImageView() = default;

TImageIO* TImageView::GetIO() {
    if (!io_) {
        io_ = std::make_unique<TImageIO>();
        io_->AttachView(this);
    }
    return io_.get();
}
