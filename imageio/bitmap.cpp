// TIOBitmap: storage in memory, in a temporary file or in a wrapped platform bitmap, and the
// pixel format conversions the save path needs.
#include "imageio/bitmap.h"

#include "imageio/errors.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

struct FormatInfo {
    int bits;
    int samples;
};

// Indexed by TIOPixelFormatId.
constexpr FormatInfo kFormats[] = {
    {0, 0},   // ioNone
    {1, 1},   // io1g
    {8, 1},   // io8p
    {8, 1},   // io8g
    {16, 1},  // io16g
    {24, 3},  // io24RGB
    {32, 1},  // io32f
    {32, 4},  // ioCMYK
    {48, 3},  // ioRGB48
    {24, 3},  // ioCIELab
    {32, 4},  // io32RGB
};

bool IsGreyRamp(const std::vector<TIOColorBGR>& table) {
    for (size_t i = 0; i < table.size(); ++i)
        if (table[i].B != i || table[i].G != i || table[i].R != i) return false;
    return true;
}

uint8_t Luminance(TIOColorBGR c) {
    return static_cast<uint8_t>((c.R * 299 + c.G * 587 + c.B * 114 + 500) / 1000);
}

// The platform bitmap cannot hold these; the refusal names the format.
const char* PlatformRefusal(TIOPixelFormatId format) {
    switch (format) {
    case io32f: return "io32f pixel format not allowed when Location=ioTBitmap Please set TImageView.LegacyBitmap=false.";
    case ioCMYK: return "ioCMYK pixel format not allowed when Location=ioTBitmap. Please set TImageView.LegacyBitmap=false.";
    case ioRGB48: return "ioRGB48 pixel format not allowed when Location=ioTBitmap Please set TImageView.LegacyBitmap=false.";
    case ioCIELab: return "ioCIELab pixel format not allowed when Location=ioTBitmap Please set TImageView.LegacyBitmap=false.";
    default: return nullptr;
    }
}

// Colour of pixel x of a row in one of the formats the save path converts from.
TIOColorBGR ReadPixel(const uint8_t* row, int x, TIOPixelFormatId format, const std::vector<TIOColorBGR>& palette) {
    switch (format) {
    case io1g: return (row[x / 8] >> (7 - x % 8)) & 1 ? RGBColor(255, 255, 255) : RGBColor(0, 0, 0);
    case io8g: return TIOColorBGR{row[x], row[x], row[x]};
    case io8p: return row[x] < palette.size() ? palette[row[x]] : TIOColorBGR{};
    case io24RGB: return TIOColorBGR{row[x * 3], row[x * 3 + 1], row[x * 3 + 2]};
    case io32RGB: return TIOColorBGR{row[x * 4], row[x * 4 + 1], row[x * 4 + 2]};
    default: throw EIOError("unsupported pixel format conversion");
    }
}

void WritePixel(uint8_t* row, int x, TIOPixelFormatId format, TIOColorBGR c) {
    switch (format) {
    case io1g:
        if (Luminance(c) >= 128) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        else row[x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
        break;
    case io8g: row[x] = Luminance(c); break;
    case io24RGB: row[x * 3] = c.B; row[x * 3 + 1] = c.G; row[x * 3 + 2] = c.R; break;
    case io32RGB: row[x * 4] = c.B; row[x * 4 + 1] = c.G; row[x * 4 + 2] = c.R; row[x * 4 + 3] = 255; break;
    default: throw EIOError("unsupported pixel format conversion");
    }
}

int DepthOf(TIOPixelFormatId format) {
    switch (format) {
    case io1g: return 1;
    case io8p:
    case io8g:
    case io16g: return 8;
    case io32RGB: return 32;
    default: return 24;
    }
}

}  // namespace

int PixelFormatBitCount(TIOPixelFormatId format) {
    return format <= io32RGB ? kFormats[format].bits : 0;
}

int PixelFormatChannelCount(TIOPixelFormatId format) {
    return format <= io32RGB ? kFormats[format].samples : 0;
}

uint64_t TotalPhysicalMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

uint64_t TempFileThreshold() {
    const uint64_t physical = TotalPhysicalMemory();
    if (physical == 0) return 32ull << 20;
    return static_cast<uint64_t>(static_cast<double>(physical) / 1.3);
}

// Pixels of a large image in an unlinked temporary file mapped into memory.
class TIOBitmap::TempFileStore {
public:
    static std::unique_ptr<TempFileStore> Create(uint64_t bytes) {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/pictolith-XXXXXX";
        const int fd = mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0) return nullptr;
        unlink(pattern.c_str());
        if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
            close(fd);
            return nullptr;
        }
        void* map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (map == MAP_FAILED) return nullptr;
        return std::unique_ptr<TempFileStore>(new TempFileStore(static_cast<uint8_t*>(map), bytes));
    }
    ~TempFileStore() { munmap(data_, bytes_); }
    uint8_t* Data() const { return data_; }

private:
    TempFileStore(uint8_t* data, uint64_t bytes) : data_(data), bytes_(bytes) {}
    uint8_t* data_;
    uint64_t bytes_;
};

TIOBitmap::TIOBitmap() = default;
TIOBitmap::~TIOBitmap() = default;

int TIOBitmap::Width() {
    if (location_ == ioTBitmap) SyncFromPlatformBitmap();
    return width_;
}

int TIOBitmap::Height() {
    if (location_ == ioTBitmap) SyncFromPlatformBitmap();
    return height_;
}

TIOPixelFormatId TIOBitmap::PixelFormat() {
    if (location_ == ioTBitmap) SyncFromPlatformBitmap();
    return pixelFormat_;
}

int TIOBitmap::BitCount() {
    if (location_ == ioTBitmap) SyncFromPlatformBitmap();
    return bitCount_;
}

int TIOBitmap::ChannelCount() {
    if (location_ == ioTBitmap) SyncFromPlatformBitmap();
    return channelCount_;
}

int TIOBitmap::RowLength() {
    if (location_ == ioTBitmap) SyncFromPlatformBitmap();
    return rowLength_;
}

void TIOBitmap::SetLocation(TIOLocationKind location) {
    if (location == location_) return;
    if (location == ioTBitmap) {
        PlatformBitmap();
        return;
    }
    ReleaseStorage();
    SetGeometry(0, 0, ioNone);
    location_ = location;
}

uint8_t* TIOBitmap::ScanLine(int row) {
    switch (location_) {
    case ioTBitmap: return rowTable_[static_cast<size_t>(row)];
    case ioMemory: return memory_.get() + static_cast<size_t>(rowLength_) * static_cast<size_t>(height_ - 1 - row);
    case ioTempFile: return tempFile_->Data() + static_cast<size_t>(rowLength_) * static_cast<size_t>(height_ - 1 - row);
    }
    return nullptr;
}

void TIOBitmap::SetGeometry(int width, int height, TIOPixelFormatId format) {
    width_ = width;
    height_ = height;
    pixelFormat_ = format;
    bitCount_ = PixelFormatBitCount(format);
    channelCount_ = PixelFormatChannelCount(format);
    rowLength_ = ::RowLength(width, bitCount_);
}

void TIOBitmap::ReleaseStorage() {
    memory_.reset();
    tempFile_.reset();
    if (ownedPlatformBitmap_) {
        ownedPlatformBitmap_.reset();
        platformBitmap_ = nullptr;
    }
    rowTable_.clear();
}

void TIOBitmap::BuildRowTable() {
    rowTable_.clear();
    if (location_ != ioTBitmap || platformBitmap_ == nullptr) return;
    const int rows = platformBitmap_->Height();
    rowTable_.resize(static_cast<size_t>(rows));
    for (int y = 0; y < rows; ++y) rowTable_[static_cast<size_t>(y)] = platformBitmap_->ScanLine(y);
}

TIOPixelFormatId TIOBitmap::FormatOfPlatformBitmap() const {
    switch (platformBitmap_->BitsPerPixel()) {
    case 1: return io1g;
    case 8: return isAlphaBuffer_ || IsGreyRamp(platformBitmap_->ColorTable()) ? io8g : io8p;
    case 32: return io32RGB;
    default: return io24RGB;
    }
}

void TIOBitmap::SyncFromPlatformBitmap() {
    if (location_ != ioTBitmap || platformBitmap_ == nullptr) return;
    const TIOPixelFormatId format = FormatOfPlatformBitmap();
    const int width = platformBitmap_->Width();
    const int height = platformBitmap_->Height();
    if (width != width_ || height != height_ || format != pixelFormat_) {
        SetGeometry(width, height, format);
        if (alpha_ && (alpha_->width_ != width || alpha_->height_ != height)) alpha_->Allocate(width, height, io8g);
        BuildRowTable();
    } else if (height_ > 0 && (rowTable_.empty() || rowTable_[0] != platformBitmap_->ScanLine(0))) {
        // Same geometry, new pixel memory (an assignment of an equal-sized picture).
        BuildRowTable();
    }
    if (pixelFormat_ == io8p) palette_ = platformBitmap_->ColorTable();
}

void TIOBitmap::BindPlatformBitmap(TBitmap* bitmap, bool freePrevious) {
    if (freePrevious) {
        ReleaseStorage();
        alpha_.reset();
    }
    if (bitmap == nullptr) return;
    if (bitmap == platformBitmap_ && location_ == ioTBitmap && bitmap->Width() == width_ &&
        bitmap->Height() == height_ && FormatOfPlatformBitmap() == pixelFormat_)
        return;
    if (bitmap != platformBitmap_) {
        memory_.reset();
        tempFile_.reset();
        ownedPlatformBitmap_.reset();
    }
    platformBitmap_ = bitmap;
    TIOPixelFormatId format = pixelFormat_;
    switch (bitmap->BitsPerPixel()) {
    case 1: format = io1g; break;
    case 24: format = io24RGB; break;
    case 32: format = io32RGB; break;
    default: break;  // the next sync settles it
    }
    SetGeometry(bitmap->Width(), bitmap->Height(), format);
    location_ = ioTBitmap;
    BuildRowTable();
}

TBitmap& TIOBitmap::PlatformBitmap() {
    if (location_ == ioTBitmap && platformBitmap_ != nullptr) return *platformBitmap_;
    auto bitmap = std::make_unique<TBitmap>();
    if (pixelFormat_ != ioNone) {
        if (PlatformRefusal(pixelFormat_) != nullptr) throw EIOError(PlatformRefusal(pixelFormat_));
        bitmap->SetBitsPerPixel(DepthOf(pixelFormat_));
        bitmap->SetSize(width_, height_);
        if (pixelFormat_ == io8p) bitmap->ColorTable() = palette_;
        const size_t bytes = static_cast<size_t>(std::min(rowLength_, bitmap->RowStride()));
        for (int y = 0; y < height_; ++y) std::memcpy(bitmap->ScanLine(y), ScanLine(y), bytes);
    }
    const TIOPixelFormatId format = pixelFormat_ == io16g ? io8g : pixelFormat_;
    const int width = width_, height = height_;
    ReleaseStorage();
    ownedPlatformBitmap_ = std::move(bitmap);
    platformBitmap_ = ownedPlatformBitmap_.get();
    location_ = ioTBitmap;
    SetGeometry(width, height, format);
    BuildRowTable();
    return *platformBitmap_;
}

bool TIOBitmap::AllocatePlatform(int width, int height, TIOPixelFormatId format) {
    if (const char* refusal = PlatformRefusal(format)) {
        try {
            throw EIOError(refusal);
        } catch (const EIOError&) {
            return false;  // callers only see the refusal as false
        }
    }
    const uint64_t bytes = static_cast<uint64_t>(::RowLength(width, DepthOf(format))) * static_cast<uint64_t>(height);
    const uint64_t physical = TotalPhysicalMemory();
    if (physical != 0 && physical < bytes) return false;
    if (platformBitmap_ == nullptr) {
        ownedPlatformBitmap_ = std::make_unique<TBitmap>();
        platformBitmap_ = ownedPlatformBitmap_.get();
    }
    try {
        platformBitmap_->SetBitsPerPixel(DepthOf(format));
        platformBitmap_->SetSize(width, height);
    } catch (const std::exception&) {
        return false;
    }
    if (format == io16g) format = io8g;
    if (format == io8p) platformBitmap_->ColorTable().assign(256, TIOColorBGR{});
    if (format == io8g) {
        auto& table = platformBitmap_->ColorTable();
        table.resize(256);
        for (int i = 0; i < 256; ++i) table[static_cast<size_t>(i)] = TIOColorBGR{uint8_t(i), uint8_t(i), uint8_t(i)};
    }
    SetGeometry(width, height, format);
    BuildRowTable();
    return true;
}

bool TIOBitmap::Allocate(int width, int height, TIOPixelFormatId format) {
    const bool haveStorage = location_ == ioTBitmap ? platformBitmap_ != nullptr : (memory_ || tempFile_);
    if (haveStorage && width == Width() && height == Height() && format == PixelFormat()) return true;

    if (location_ == ioTBitmap) {
        // An owned platform bitmap is reused; a bound one stays bound and is resized.
        memory_.reset();
        tempFile_.reset();
    } else {
        ReleaseStorage();
    }
    SetGeometry(0, 0, ioNone);
    if (width < 1 || height < 1 || format == ioNone) return false;
    palette_.clear();
    if (format == io8p) palette_.assign(256, TIOColorBGR{});

    bool ok = false;
    if (location_ == ioTBitmap) {
        ok = AllocatePlatform(width, height, format);
    } else {
        const uint64_t bytes = static_cast<uint64_t>(::RowLength(width, PixelFormatBitCount(format))) * static_cast<uint64_t>(height);
        if (bytes < TempFileThreshold()) {
            location_ = ioMemory;
            memory_.reset(new (std::nothrow) uint8_t[bytes]);
            ok = memory_ != nullptr;
        } else {
            location_ = ioTempFile;
            tempFile_ = TempFileStore::Create(bytes);
            ok = tempFile_ != nullptr;
        }
        if (ok) SetGeometry(width, height, format);
    }
    if (!ok) {
        SetGeometry(0, 0, ioNone);
        palette_.clear();
        return false;
    }
    return true;
}

void TIOBitmap::AssignFrom(TIOBitmap& source) {
    if (&source == this) return;
    const int width = source.Width(), height = source.Height();
    const TIOPixelFormatId format = source.PixelFormat();
    if (format == ioNone || width == 0 || height == 0) {
        if (location_ == ioTBitmap && platformBitmap_ != nullptr) {
            platformBitmap_->SetSize(0, 0);
            SyncFromPlatformBitmap();
        } else {
            ReleaseStorage();
            SetGeometry(0, 0, ioNone);
        }
    } else {
        if (!Allocate(width, height, format)) throw std::bad_alloc();
        const size_t bytes = static_cast<size_t>(source.RowLength());
        for (int y = 0; y < height; ++y) std::memcpy(ScanLine(y), source.ScanLine(y), bytes);
    }
    palette_ = source.palette_;
    if (location_ == ioTBitmap && pixelFormat_ == io8p) platformBitmap_->ColorTable() = palette_;
    if (source.HasAlphaChannel()) {
        AlphaChannel().AssignFrom(*source.alpha_);
        alpha_->full_ = source.alpha_->full_;
    } else {
        alpha_.reset();
    }
}

void TIOBitmap::AssignFrom(const TBitmap& source) {
    if (location_ == ioTBitmap && platformBitmap_ != nullptr) {
        platformBitmap_->Assign(source);
        SyncFromPlatformBitmap();
        return;
    }
    TBitmap copy(source);
    TIOBitmap wrapper;
    wrapper.BindPlatformBitmap(&copy, false);
    AssignFrom(wrapper);
}

void TIOBitmap::ConvertPixelFormat(TIOPixelFormatId format) {
    if (format == PixelFormat()) return;
    if (location_ == ioTBitmap)
        ConvertPlatformPixels(format);
    else
        ConvertStoredPixels(format);
}

void TIOBitmap::ConvertStoredPixels(TIOPixelFormatId format) {
    TIOBitmap previous;
    previous.SetLocation(ioMemory);
    previous.memory_ = std::move(memory_);
    previous.tempFile_ = std::move(tempFile_);
    previous.location_ = location_;
    previous.SetGeometry(width_, height_, pixelFormat_);
    previous.palette_ = palette_;
    const int width = width_, height = height_;
    SetGeometry(0, 0, ioNone);
    if (width == 0 || height == 0) return;
    if (!Allocate(width, height, format)) throw std::bad_alloc();
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = previous.ScanLine(y);
        uint8_t* out = ScanLine(y);
        for (int x = 0; x < width; ++x) WritePixel(out, x, format, ReadPixel(in, x, previous.pixelFormat_, previous.palette_));
    }
}

void TIOBitmap::ConvertPlatformPixels(TIOPixelFormatId format) {
    if (format != io1g && format != io8g && format != io24RGB && format != io32RGB)
        throw EIOError("unsupported pixel format conversion");
    TBitmap& bitmap = *platformBitmap_;
    if (bitmap.Width() > 0 && bitmap.Height() > 0) {
        if (pixelFormat_ == io8p) bitmap.ColorTable() = palette_;
        bitmap.SetBitsPerPixel(DepthOf(format));
    } else {
        bitmap.SetBitsPerPixel(DepthOf(format));
    }
    SetGeometry(bitmap.Width(), bitmap.Height(), format);
    BuildRowTable();
}

TIOBitmap& TIOBitmap::AlphaChannel() {
    if (!alpha_) {
        alpha_ = std::make_unique<TIOBitmap>();
        alpha_->isAlphaBuffer_ = true;
        alpha_->SetLocation(ioMemory);
        if (alpha_->Allocate(Width(), Height(), io8g)) alpha_->Fill(255);
        alpha_->full_ = true;
    }
    return *alpha_;
}

uint8_t TIOBitmap::AlphaAt(int x, int y) {
    return AlphaChannel().ScanLine(y)[x];
}

void TIOBitmap::Fill(uint8_t value) {
    const int height = Height();
    const size_t bytes = static_cast<size_t>(RowLength());
    for (int y = 0; y < height; ++y) std::memset(ScanLine(y), value, bytes);
    full_ = value == 255;
}

void TIOBitmap::CheckFull() {
    const int width = Width(), height = Height();
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(BitCount()) / 8;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = ScanLine(y);
        for (size_t i = 0; i < bytes; ++i)
            if (row[i] != 255) {
                full_ = false;
                return;
            }
    }
    full_ = true;
}
