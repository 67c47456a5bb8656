// Thumbnail cache names. Only names are computed here: the cached PNGs are untrusted like any
// other file (anyone can write into the cache) and are decoded by a confined worker.
#include "thumbs/thumbnail_cache.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <cerrno>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

bool IsUnescapedInFileUri(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    for (const char allowed : std::string("!$&'()*+,-./:=@_~")) {
        if (c == static_cast<unsigned char>(allowed)) return true;
    }
    return false;
}

std::string WorkingFolder() {
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() > (1u << 20)) return "/";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

}  // namespace

std::string AbsoluteFilePath(const std::string& path) {
    const std::string joined = !path.empty() && path[0] == '/' ? path : WorkingFolder() + "/" + path;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= joined.size()) {
        size_t end = joined.find('/', start);
        if (end == std::string::npos) end = joined.size();
        const std::string part = joined.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& part : parts) result += "/" + part;
    return result.empty() ? "/" : result;
}

std::string GLibFileUri(const std::string& absolutePath) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    if (absolutePath.empty() || absolutePath[0] != '/') uri += '/';
    for (const char ch : absolutePath) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnescapedInFileUri(c)) {
            uri += ch;
        } else {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 15];
        }
    }
    return uri;
}

std::string ThumbnailCacheDir() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/thumbnails";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.cache/thumbnails";
}

std::vector<std::string> ThumbnailCacheCandidates(const std::string& uri, int size) {
    static const std::pair<int, const char*> kFlavours[] = {
        {128, "normal"}, {256, "large"}, {512, "x-large"}, {1024, "xx-large"}};
    const QByteArray digest =
        QCryptographicHash::hash(QByteArray::fromStdString(uri), QCryptographicHash::Md5).toHex();
    const std::string name = digest.toStdString() + ".png";
    const std::string dir = ThumbnailCacheDir();
    std::vector<std::string> candidates;
    for (const auto& [pixels, folder] : kFlavours) {
        if (pixels >= size) candidates.push_back(dir + "/" + folder + "/" + name);
    }
    return candidates;
}
