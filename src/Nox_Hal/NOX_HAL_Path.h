// Path mapping: the storage-card root and the standard directories below it,
// directory creation and file listing. Paths are narrow (UTF-8) target paths
// with backslashes; the platform maps them to the host's.
#pragma once

#include "Platform.h"

#include <string>
#include <vector>

namespace NOX {
namespace HAL {

// The storage-card root, without a trailing separator: the path in
// QUENTA_STORAGE_ROOT when set, else $XDG_DATA_HOME\quenta, else
// $HOME\.local\share\quenta, else the target's "\SD Card".
std::string getStorageCardRoot();

// True for "\..." and "X:\..." (and a host path starting with '/').
bool isAbsolutePath(const std::string& strPath);

// Creates every missing directory of the path's directory part.
bool createDirectoryOf(const std::string& strFilePath);

bool fileExists(const std::string& strPath);

struct FileEntryS
{
    std::string strName;
    SYSTEMTIME lastWrite;
};
// The files matching a pattern whose last part may hold '*' and '?'.
std::vector<FileEntryS> listFiles(const std::string& strPattern);

// Wide and narrow forms of a path for the platform's calls.
std::wstring widePath(const std::string& strPath);

} // namespace HAL
} // namespace NOX
