// The file list's shared rules: exact duplicates, files, and the files of one folder.
#include "export/file_list.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_set>

bool IsListed(const std::vector<std::string>& list, const std::string& path) {
    return std::find(list.begin(), list.end(), path) != list.end();
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::vector<std::string> ListFolderFiles(const std::string& folder) {
    std::string base = folder;
    if (!base.empty() && base.back() == '/') base.pop_back();
    // The root "/" loses its only "/" above; it is still listed, and names join as "/name".
    const std::string listed = base.empty() && !folder.empty() ? "/" : base;

    std::vector<std::string> files;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(listed.c_str()), closedir);
    if (!dir) return files;
    while (const dirent* entry = readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        std::string path = base + "/" + entry->d_name;
        if (path.find("~$") != std::string::npos) continue;
        // A link to a folder is a folder here; a dangling link is still an entry that is not one.
        struct stat info {};
        if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
        files.push_back(std::move(path));
    }
    return files;
}

size_t AddPathsToList(std::vector<std::string>& list, const std::vector<std::string>& paths) {
    // A set keeps a folder of many thousand files from costing a quadratic number of compares.
    std::unordered_set<std::string> listed(list.begin(), list.end());
    size_t added = 0;
    for (const std::string& path : paths) {
        if (!listed.insert(path).second) continue;
        list.push_back(path);
        ++added;
    }
    return added;
}
