// Path mapping: the storage-card root and the standard directories below it,
// directory creation and file listing. Paths are narrow (UTF-8) target paths
// with backslashes; the platform maps them to the host's.
#pragma once

#include "Platform.h"

#include <cstdio>
#include <string>
#include <vector>

namespace NOX {
namespace HAL {

// The storage-card root, without a trailing separator: the path in
// QUENTA_STORAGE_ROOT when set, else $XDG_DATA_HOME\quenta, else
// $HOME\.local\share\quenta (on Windows %LOCALAPPDATA%\quenta), else the
// target's "\SD Card".
std::string getStorageCardRoot();

// True for "\..." and "X:\..." (and a host path starting with '/').
bool isAbsolutePath(const std::string& strPath);

// Where a log file of that name goes: the name itself when absolute, else the
// storage-card root's "dbg\log\" directory.
std::string logFilePath(const std::string& strName);

// The path as the host writes it, for messages.
std::string hostPath(const std::string& strPath);

// Creates every missing directory of the path's directory part. Fails for a
// drive-letter path on a host without drive letters, rather than making a
// directory "X:" in the current one.
bool createDirectoryOf(const std::string& strFilePath);

// Opens a regular file for reading; null otherwise, with the reason: missing,
// a directory, FIFO, device or socket, no right to read. Nothing else is
// opened, so it never blocks.
std::FILE* openRegularFile(const std::string& strPath, std::string& strReason);

// Why the file cannot be read; empty when it can (see openRegularFile).
std::string whyNotReadable(const std::string& strPath);

// Why a file at the path cannot be appended to or created; empty when it can.
// An entry there that is not a regular file is never opened. Makes the missing
// directories, as opening the file would.
std::string whyNotWritable(const std::string& strFilePath);

// Why no file can be created in the directory; empty when one can. Makes it
// when missing.
std::string whyNotWritableDirectory(const std::string& strDirectory);

bool fileExists(const std::string& strPath);

struct FileEntryS
{
    std::string strName;
    SYSTEMTIME lastWrite;
};
// The files matching a pattern whose last part may hold '*' and '?'.
std::vector<FileEntryS> listFiles(const std::string& strPattern);

// Wide and narrow (UTF-8) forms of a path, or any text, for the platform's
// calls.
std::wstring widePath(const std::string& strPath);
std::string narrowPath(const std::wstring& strPath);

} // namespace HAL
} // namespace NOX
