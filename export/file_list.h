// The file list's rules shared by the window and the command-line exporter: exact-comparison
// duplicates, what counts as a file, and the files a folder adds. Paths are bytes throughout.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// True when some entry equals `path` byte for byte (no case folding, no normalisation).
bool IsListed(const std::vector<std::string>& list, const std::string& path);

// True when `path` names an existing entry that is not a directory (links followed).
bool IsFile(const std::string& path);

// The files directly in `folder` as "Add folder" takes them: one trailing "/" removed from the
// folder, each name joined with "/", in the order the file system lists them (its own listing,
// so names that are not valid UTF-8 are kept), hidden files included, directories and their
// contents left out, and every path containing "~$" skipped. Empty when the folder cannot be read.
std::vector<std::string> ListFolderFiles(const std::string& folder);

// Appends each path not yet listed, in order; returns how many were added.
size_t AddPathsToList(std::vector<std::string>& list, const std::vector<std::string>& paths);
