#include "Nox_Hal/NOX_HAL_Path.h"

namespace NOX {
namespace HAL {

namespace {

std::string narrow(const std::wstring& strWide)
{
    int nSize = WideCharToMultiByte(CP_UTF8, 0, strWide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (nSize <= 0) {
        return std::string();
    }
    std::string strOut(static_cast<size_t>(nSize), '\0');
    WideCharToMultiByte(CP_UTF8, 0, strWide.c_str(), -1, &strOut[0], nSize, nullptr, nullptr);
    strOut.resize(static_cast<size_t>(nSize - 1));
    return strOut;
}

std::string environment(const wchar_t* szName)
{
    DWORD dwSize = GetEnvironmentVariableW(szName, nullptr, 0);
    if (dwSize == 0) {
        return std::string();
    }
    std::wstring strValue(dwSize, L'\0');
    DWORD dwLength = GetEnvironmentVariableW(szName, &strValue[0], dwSize);
    strValue.resize(dwLength);
    return narrow(strValue);
}

bool isSeparator(char c)
{
    return c == '\\' || c == '/';
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

std::string getStorageCardRoot()
{
    std::string strRoot = environment(L"QUENTA_STORAGE_ROOT");
    if (strRoot.empty()) {
        std::string strData = environment(L"XDG_DATA_HOME");
        std::string strHome = environment(L"HOME");
        if (!strData.empty()) {
            strRoot = strData + "\\quenta";
        } else if (!strHome.empty()) {
            strRoot = strHome + "\\.local\\share\\quenta";
        } else {
            strRoot = "\\SD Card";
        }
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

bool fileExists(const std::string& strPath)
{
    return GetFileAttributesW(widePath(strPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool createDirectoryOf(const std::string& strFilePath)
{
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
            entry.strName = narrow(data.cFileName);
            FileTimeToSystemTime(&data.ftLastWriteTime, &entry.lastWrite);
            vecFiles.push_back(entry);
        }
    } while (FindNextFileW(hFind, &data));
    FindClose(hFind);
    return vecFiles;
}

} // namespace HAL
} // namespace NOX
