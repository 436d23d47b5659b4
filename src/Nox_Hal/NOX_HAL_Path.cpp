#include "Nox_Hal/NOX_HAL_Path.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace NOX {
namespace HAL {

namespace {

std::string environment(const wchar_t* szName)
{
    DWORD dwSize = GetEnvironmentVariableW(szName, nullptr, 0);
    if (dwSize == 0) {
        return std::string();
    }
    std::wstring strValue(dwSize, L'\0');
    DWORD dwLength = GetEnvironmentVariableW(szName, &strValue[0], dwSize);
    strValue.resize(dwLength);
    return narrowPath(strValue);
}

bool isSeparator(char c)
{
    return c == '\\' || c == '/';
}

const char c_szLogDirectory[] = "\\dbg\\log\\";
const char c_szProbeName[] = ".quenta-probe-";
const char c_szForeignDrive[] = "drive letters mean nothing on this host";

fs::path fsPath(const std::string& strPath)
{
    std::string strHost(strPath);
    std::replace(strHost.begin(), strHost.end(), '\\', '/');
    return fs::u8path(strHost);
}

// "X:\..." is absolute on the target; a host without drive letters would take
// it as relative to the current directory.
bool hasForeignDrive(const std::string& strPath)
{
    return strPath.size() >= 2 && std::isalpha(static_cast<unsigned char>(strPath[0])) &&
           strPath[1] == ':' && (strPath.size() == 2 || isSeparator(strPath[2])) &&
           !fsPath(strPath).has_root_name();
}

std::string errnoText(int nErrno)
{
    return std::generic_category().message(nErrno);
}

std::string typeProblem(fs::file_type eType)
{
    switch (eType) {
    case fs::file_type::directory:
        return "Is a directory";
    case fs::file_type::fifo:
        return "Is a FIFO, not a regular file";
    case fs::file_type::character:
    case fs::file_type::block:
        return "Is a device, not a regular file";
    case fs::file_type::socket:
        return "Is a socket, not a regular file";
    default:
        return "Is not a regular file";
    }
}

// Why the entry at the path is unusable: an error other than its absence, or
// an entry that is not a regular file. bExists tells a regular file from none.
std::string entryProblem(const std::string& strPath, bool& bExists, std::error_code& error)
{
    const fs::file_status status = fs::status(fsPath(strPath), error);
    bExists = fs::exists(status);
    if (error && status.type() != fs::file_type::not_found) {
        return error.message();
    }
    return bExists && !fs::is_regular_file(status) ? typeProblem(status.type()) : std::string();
}

std::string openProblem(const std::string& strPath, const wchar_t* szMode)
{
    std::FILE* pFile = _wfopen(widePath(strPath).c_str(), szMode);
    if (pFile == nullptr) {
        return errnoText(errno);
    }
    std::fclose(pFile);
    return std::string();
}

std::string directoryOf(const std::string& strFilePath)
{
    std::string::size_type nEnd = strFilePath.find_last_of("\\/");
    if (nEnd == std::string::npos) {
        return ".";
    }
    return strFilePath.substr(0, nEnd == 0 ? 1 : nEnd);
}

} // namespace

std::wstring widePath(const std::string& strPath)
{
    int nSize = MultiByteToWideChar(CP_UTF8, 0, strPath.c_str(), -1, nullptr, 0);
    if (nSize <= 0) {
        return std::wstring();
    }
    std::wstring strOut(static_cast<size_t>(nSize), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, strPath.c_str(), -1, &strOut[0], nSize);
    strOut.resize(static_cast<size_t>(nSize - 1));
    return strOut;
}

std::string narrowPath(const std::wstring& strPath)
{
    int nSize = WideCharToMultiByte(CP_UTF8, 0, strPath.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (nSize <= 0) {
        return std::string();
    }
    std::string strOut(static_cast<size_t>(nSize), '\0');
    WideCharToMultiByte(CP_UTF8, 0, strPath.c_str(), -1, &strOut[0], nSize, nullptr, nullptr);
    strOut.resize(static_cast<size_t>(nSize - 1));
    return strOut;
}

namespace {

// Where a host keeps a user's application data when the storage root is not
// set: the variable and the folder below it.
struct DataFolderS
{
    const wchar_t* szVariable;
    const char* szBelow;
};
#if defined(_WIN32)
const DataFolderS c_aDataFolders[] = {{L"LOCALAPPDATA", "\\quenta"}};
#else
const DataFolderS c_aDataFolders[] = {{L"XDG_DATA_HOME", "\\quenta"},
                                      {L"HOME", "\\.local\\share\\quenta"}};
#endif

} // namespace

std::string getStorageCardRoot()
{
    std::string strRoot = environment(L"QUENTA_STORAGE_ROOT");
    for (const DataFolderS& folder : c_aDataFolders) {
        if (!strRoot.empty()) {
            break;
        }
        const std::string strBase = environment(folder.szVariable);
        if (!strBase.empty()) {
            strRoot = strBase + folder.szBelow;
        }
    }
    if (strRoot.empty()) {
        strRoot = "\\SD Card";
    }
    while (strRoot.size() > 1 && isSeparator(strRoot.back())) {
        strRoot.pop_back();
    }
    return strRoot;
}

bool isAbsolutePath(const std::string& strPath)
{
    return (!strPath.empty() && isSeparator(strPath[0])) ||
           (strPath.size() > 2 && strPath[1] == ':' && strPath[2] == '\\');
}

std::string logFilePath(const std::string& strName)
{
    return isAbsolutePath(strName) ? strName : getStorageCardRoot() + c_szLogDirectory + strName;
}

std::string hostPath(const std::string& strPath)
{
    return fsPath(strPath).make_preferred().u8string();
}

std::FILE* openRegularFile(const std::string& strPath, std::string& strReason)
{
    bool bExists = false;
    std::error_code error;
    strReason = entryProblem(strPath, bExists, error);
    if (strReason.empty() && !bExists) {
        strReason = error ? error.message() : errnoText(ENOENT);
    }
    if (!strReason.empty()) {
        return nullptr;
    }
    // Binary: a line keeps its own line end, and a Ctrl-Z ends nothing.
    std::FILE* pFile = _wfopen(widePath(strPath).c_str(), L"rb");
    if (pFile == nullptr) {
        strReason = errnoText(errno);
    }
    return pFile;
}

std::string whyNotReadable(const std::string& strPath)
{
    std::string strReason;
    std::FILE* pFile = openRegularFile(strPath, strReason);
    if (pFile != nullptr) {
        std::fclose(pFile);
    }
    return strReason;
}

std::string whyNotWritable(const std::string& strFilePath)
{
    if (hasForeignDrive(strFilePath)) {
        return c_szForeignDrive;
    }
    bool bExists = false;
    std::error_code error;
    std::string strReason = entryProblem(strFilePath, bExists, error);
    if (!strReason.empty()) {
        return strReason;
    }
    return bExists ? openProblem(strFilePath, L"a")
                   : whyNotWritableDirectory(directoryOf(strFilePath));
}

std::string whyNotWritableDirectory(const std::string& strDirectory)
{
    if (hasForeignDrive(strDirectory)) {
        return c_szForeignDrive;
    }
    std::error_code error;
    fs::create_directories(fsPath(strDirectory), error);
    if (error) {
        return error.message();
    }
    // Only a file made there proves it: permissions, read-only mounts and
    // pseudo file systems all tell at that point.
    std::string strProbe = strDirectory;
    if (!isSeparator(strProbe.back())) {
        strProbe += '\\';
    }
    strProbe += c_szProbeName + std::to_string(GetCurrentProcessId());
    std::string strReason = openProblem(strProbe, L"w");
    if (strReason.empty()) {
        DeleteFileW(widePath(strProbe).c_str());
    }
    return strReason;
}

bool fileExists(const std::string& strPath)
{
    return GetFileAttributesW(widePath(strPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool createDirectoryOf(const std::string& strFilePath)
{
    if (hasForeignDrive(strFilePath)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::string::size_type nEnd = strFilePath.find_last_of("\\/");
    if (nEnd == std::string::npos || nEnd == 0) {
        return true;
    }
    for (std::string::size_type nPos = 1; nPos <= nEnd; ++nPos) {
        if (nPos != nEnd && !isSeparator(strFilePath[nPos])) {
            continue;
        }
        std::string strDirectory = strFilePath.substr(0, nPos);
        if (!fileExists(strDirectory) &&
            !CreateDirectoryW(widePath(strDirectory).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return true;
}

std::vector<FileEntryS> listFiles(const std::string& strPattern)
{
    std::vector<FileEntryS> vecFiles;
    WIN32_FIND_DATAW data;
    HANDLE hFind = FindFirstFileW(widePath(strPattern).c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE) {
        return vecFiles;
    }
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            FileEntryS entry;
            entry.strName = narrowPath(data.cFileName);
            FileTimeToSystemTime(&data.ftLastWriteTime, &entry.lastWrite);
            vecFiles.push_back(entry);
        }
    } while (FindNextFileW(hFind, &data));
    FindClose(hFind);
    return vecFiles;
}

} // namespace HAL
} // namespace NOX
