// MIME types from shared-mime-info through QMimeDatabase (which locks internally and may be used
// from any thread), with the file opened only in ways that cannot block or have side effects.
#include "thumbs/file_types.h"

#include <QByteArray>
#include <QFile>
#include <QMimeDatabase>
#include <QMimeType>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Enough for the magic rules that identify common formats; the database's deepest rules look
// a little further, which only costs those rare types their content match.
constexpr size_t kSniffBytes = 16 * 1024;

QString BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return QFile::decodeName(QByteArray::fromStdString(name));
}

// Reads up to kSniffBytes from the start of a regular file; false when it is not one.
bool ReadHead(const std::string& path, QByteArray* head) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        head->resize(static_cast<qsizetype>(kSniffBytes));
        size_t filled = 0;
        while (filled < kSniffBytes) {
            const ssize_t got = read(fd, head->data() + filled, kSniffBytes - filled);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                ok = false;
                break;
            }
            if (got == 0) break;
            filled += static_cast<size_t>(got);
        }
        head->resize(static_cast<qsizetype>(filled));
    }
    close(fd);
    return ok;
}

}  // namespace

std::string MimeTypeOfName(const std::string& name) {
    const QMimeDatabase db;
    return db.mimeTypeForFile(BaseName(name), QMimeDatabase::MatchExtension).name().toStdString();
}

std::string MimeTypeOfFile(const std::string& path) {
    // stat, not open, decides first: opening a device can have effects of its own (a tape
    // rewinds, a watchdog arms), and opening a FIFO for reading waits for a writer.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return MimeTypeOfName(path);
    if (S_ISDIR(st.st_mode)) return "inode/directory";
    if (S_ISFIFO(st.st_mode)) return "inode/fifo";
    if (S_ISCHR(st.st_mode)) return "inode/chardevice";
    if (S_ISBLK(st.st_mode)) return "inode/blockdevice";
    if (S_ISSOCK(st.st_mode)) return "inode/socket";
    QByteArray head;
    if (!S_ISREG(st.st_mode) || !ReadHead(path, &head)) return MimeTypeOfName(path);
    const QMimeDatabase db;
    return db.mimeTypeForFileNameAndData(BaseName(path), head).name().toStdString();
}

std::vector<std::string> IconNamesForMimeType(const std::string& mimeType) {
    const QMimeDatabase db;
    const QMimeType type = db.mimeTypeForName(QString::fromStdString(mimeType));
    std::vector<std::string> names;
    auto add = [&names](const std::string& name) {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    if (type.isValid()) {
        add(type.iconName().toStdString());
        add(type.genericIconName().toStdString());
    } else {
        std::string name = mimeType;
        for (char& c : name) {
            if (c == '/') c = '-';
        }
        add(name);
    }
    add("application-x-generic");
    return names;
}

TBuiltInIconKind BuiltInKindForMimeType(const std::string& mimeType) {
    if (mimeType == "application/pdf") return TBuiltInIconKind::Pdf;
    const QMimeDatabase db;
    const QMimeType type = db.mimeTypeForName(QString::fromStdString(mimeType));
    const std::string generic = type.isValid() ? type.genericIconName().toStdString() : std::string();
    static const std::pair<const char*, TBuiltInIconKind> kByGenericIcon[] = {
        {"package-x-generic", TBuiltInIconKind::Archive},
        {"x-office-document", TBuiltInIconKind::Document},
        {"x-office-spreadsheet", TBuiltInIconKind::Spreadsheet},
        {"x-office-presentation", TBuiltInIconKind::Presentation},
        {"font-x-generic", TBuiltInIconKind::Font},
        {"application-x-executable", TBuiltInIconKind::Executable},
        {"image-x-generic", TBuiltInIconKind::Image},
        {"audio-x-generic", TBuiltInIconKind::Audio},
        {"video-x-generic", TBuiltInIconKind::Video},
        {"text-x-generic", TBuiltInIconKind::Text},
        {"text-x-script", TBuiltInIconKind::Text},
    };
    for (const auto& [icon, kind] : kByGenericIcon) {
        if (generic == icon) return kind;
    }
    static const std::pair<const char*, TBuiltInIconKind> kByMediaType[] = {
        {"image/", TBuiltInIconKind::Image}, {"audio/", TBuiltInIconKind::Audio},
        {"video/", TBuiltInIconKind::Video}, {"text/", TBuiltInIconKind::Text},
        {"font/", TBuiltInIconKind::Font},
    };
    for (const auto& [prefix, kind] : kByMediaType) {
        if (mimeType.rfind(prefix, 0) == 0) return kind;
    }
    return TBuiltInIconKind::GenericFile;
}
