// File types for icons: the MIME type of a file from shared-mime-info, the icon names a theme is
// asked for, and which of our built-in icons stands for the type.
#pragma once

#include <string>
#include <vector>

// The built-in icons, drawn by the program itself, for when no icon theme has one.
enum class TBuiltInIconKind {
    GenericFile,
    Text,
    Image,
    Audio,
    Video,
    Archive,
    Document,
    Spreadsheet,
    Presentation,
    Pdf,
    Font,
    Executable,
};

// The MIME type of a name, from its extension or glob alone; no file is looked at.
std::string MimeTypeOfName(const std::string& name);

// The MIME type of an existing entry, by name and content. Only a regular file is opened (without
// blocking, and checked again on the open descriptor), and only its first bytes are read;
// FIFOs, devices and sockets get their inode types, unreadable files are matched by name.
// Thread safe.
std::string MimeTypeOfFile(const std::string& path);

// Icon names to ask a theme for, in order: the type's own icon, its generic icon, then the
// generic file icon.
std::vector<std::string> IconNamesForMimeType(const std::string& mimeType);

// The built-in icon that stands for a MIME type.
TBuiltInIconKind BuiltInKindForMimeType(const std::string& mimeType);
