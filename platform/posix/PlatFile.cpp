// Files and directories by the target's wide, backslash-separated names.
#include "PlatInternal.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A wide target path as a native one: UTF-8 with slashes.
std::string nativePath(LPCWSTR szPath)
{
    std::string strPath = plat::utf8FromWide(szPath, std::wcslen(szPath));
    for (char& c : strPath) {
        if (c == '\\') {
            c = '/';
        }
    }
    return strPath;
}

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
const uint64_t c_ullUnixEpochInFileTime = 116444736000000000ULL;

FILETIME fileTimeOf(const struct timespec& ts)
{
    uint64_t ullTime = c_ullUnixEpochInFileTime + static_cast<uint64_t>(ts.tv_sec) * 10000000ULL +
                       static_cast<uint64_t>(ts.tv_nsec) / 100ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ullTime & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(ullTime >> 32);
    return ft;
}

void fillFindData(const std::string& strDirectory, const std::string& strName,
                  LPWIN32_FIND_DATAW pData)
{
    std::memset(pData, 0, sizeof(*pData));
    struct stat st;
    if (::stat((strDirectory + "/" + strName).c_str(), &st) == 0) {
        pData->dwFileAttributes =
            S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        pData->ftCreationTime = fileTimeOf(st.st_ctim);
        pData->ftLastAccessTime = fileTimeOf(st.st_atim);
        pData->ftLastWriteTime = fileTimeOf(st.st_mtim);
        pData->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
        pData->nFileSizeLow = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) & 0xFFFFFFFFu);
    }
    std::wstring strWide = plat::wideFromUtf8(strName.c_str(), strName.size());
    std::wcsncpy(pData->cFileName, strWide.c_str(), MAX_PATH - 1);
}

// The open listings; their handles come from a range of their own, far from
// file descriptors and kernel objects.
class FindTableC
{
public:
    struct ListingS
    {
        std::string strDirectory;
        std::vector<std::string> vecNames;
        size_t unNext = 0;
    };

    HANDLE add(ListingS listing)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        uintptr_t uHandle = m_uNext++;
        m_mapListings[uHandle] = std::move(listing);
        return reinterpret_cast<HANDLE>(uHandle);
    }

    // Fills the next entry; false when there is none or the handle is unknown.
    bool next(HANDLE hFind, LPWIN32_FIND_DATAW pData, DWORD& dwError)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_mapListings.find(reinterpret_cast<uintptr_t>(hFind));
        if (it == m_mapListings.end()) {
            dwError = ERROR_INVALID_HANDLE;
            return false;
        }
        ListingS& listing = it->second;
        if (listing.unNext >= listing.vecNames.size()) {
            dwError = ERROR_NO_MORE_FILES;
            return false;
        }
        fillFindData(listing.strDirectory, listing.vecNames[listing.unNext++], pData);
        return true;
    }

    bool remove(HANDLE hFind)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_mapListings.erase(reinterpret_cast<uintptr_t>(hFind)) != 0;
    }

private:
    std::mutex m_mutex;
    std::map<uintptr_t, ListingS> m_mapListings;
    uintptr_t m_uNext = static_cast<uintptr_t>(1) << 48;
};

FindTableC& findTable()
{
    static FindTableC s_Table;
    return s_Table;
}

// The open flags of an fopen mode ("r", "w+", "ab", ...); -1 for a mode that
// fopen refuses too.
int openFlagsOf(const std::string& strMode)
{
    if (strMode.empty()) {
        return -1;
    }
    const bool bUpdate = strMode.find('+') != std::string::npos;
    const int nWrite = bUpdate ? O_RDWR : O_WRONLY;
    int nFlags = 0;
    switch (strMode[0]) {
    case 'r':
        nFlags = bUpdate ? O_RDWR : O_RDONLY;
        break;
    case 'w':
        nFlags = nWrite | O_CREAT | O_TRUNC;
        break;
    case 'a':
        nFlags = nWrite | O_CREAT | O_APPEND;
        break;
    default:
        return -1;
    }
    if (strMode.find('x') != std::string::npos) {
        nFlags |= O_EXCL;
    }
    if (strMode.find('e') != std::string::npos) {
        nFlags |= O_CLOEXEC;
    }
    return nFlags;
}

int failFile(int nFd, int nErrno)
{
    ::close(nFd);
    errno = nErrno;
    return -1;
}

// Opened without waiting (a FIFO would wait for its other end, a terminal
// for its carrier) and kept only when it is a regular file: writing to
// anything else can block for ever. Sets errno on failure.
int openRegularFile(const std::string& strPath, int nFlags)
{
    const int nFd = ::open(strPath.c_str(), nFlags | O_NONBLOCK | O_NOCTTY, 0666);
    if (nFd < 0) {
        return -1;
    }
    struct stat st;
    if (::fstat(nFd, &st) != 0) {
        return failFile(nFd, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return failFile(nFd, S_ISDIR(st.st_mode) ? EISDIR : ENXIO);
    }
    const int nStatus = ::fcntl(nFd, F_GETFL);
    if (nStatus < 0 || ::fcntl(nFd, F_SETFL, nStatus & ~O_NONBLOCK) != 0) {
        return failFile(nFd, errno);
    }
    return nFd;
}

} // namespace

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES)
{
    if (lpPathName == nullptr) {
        return plat::failWith(ERROR_INVALID_PARAMETER);
    }
    if (::mkdir(nativePath(lpPathName).c_str(), 0777) != 0) {
        return plat::failWithErrno();
    }
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR lpFileName)
{
    struct stat st;
    if (lpFileName == nullptr || ::stat(nativePath(lpFileName).c_str(), &st) != 0) {
        plat::failWithErrno();
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

BOOL DeleteFileW(LPCWSTR lpFileName)
{
    if (lpFileName == nullptr) {
        return plat::failWith(ERROR_INVALID_PARAMETER);
    }
    if (::unlink(nativePath(lpFileName).c_str()) != 0) {
        return plat::failWithErrno();
    }
    return TRUE;
}

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    if (lpFileName == nullptr || lpFindFileData == nullptr) {
        plat::failWith(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string strPattern = nativePath(lpFileName);
    std::string::size_type nSlash = strPattern.rfind('/');
    FindTableC::ListingS listing;
    listing.strDirectory = nSlash == std::string::npos ? "." : strPattern.substr(0, nSlash);
    if (listing.strDirectory.empty()) {
        listing.strDirectory = "/";
    }
    std::string strMask = nSlash == std::string::npos ? strPattern : strPattern.substr(nSlash + 1);

    DIR* pDir = ::opendir(listing.strDirectory.c_str());
    if (pDir == nullptr) {
        plat::failWith(errno == ENOENT ? ERROR_PATH_NOT_FOUND : plat::errorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    while (struct dirent* pEntry = ::readdir(pDir)) {
        if (std::strcmp(pEntry->d_name, ".") != 0 && std::strcmp(pEntry->d_name, "..") != 0 &&
            ::fnmatch(strMask.c_str(), pEntry->d_name, FNM_CASEFOLD) == 0) {
            listing.vecNames.emplace_back(pEntry->d_name);
        }
    }
    ::closedir(pDir);
    if (listing.vecNames.empty()) {
        plat::failWith(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE hFind = findTable().add(std::move(listing));
    DWORD dwError = ERROR_SUCCESS;
    findTable().next(hFind, lpFindFileData, dwError);
    return hFind;
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
    DWORD dwError = ERROR_SUCCESS;
    if (lpFindFileData == nullptr || !findTable().next(hFindFile, lpFindFileData, dwError)) {
        return plat::failWith(lpFindFileData == nullptr ? ERROR_INVALID_PARAMETER : dwError);
    }
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile)
{
    return findTable().remove(hFindFile) ? TRUE : plat::failWith(ERROR_INVALID_HANDLE);
}

DWORD GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize)
{
    if (lpName == nullptr) {
        plat::failWith(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* szValue = std::getenv(plat::utf8FromWide(lpName, std::wcslen(lpName)).c_str());
    if (szValue == nullptr) {
        plat::failWith(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    std::wstring strValue = plat::wideFromUtf8(szValue, std::strlen(szValue));
    if (lpBuffer == nullptr || nSize <= strValue.size()) {
        return static_cast<DWORD>(strValue.size() + 1);
    }
    std::wmemcpy(lpBuffer, strValue.c_str(), strValue.size() + 1);
    return static_cast<DWORD>(strValue.size());
}

FILE* _wfopen(const wchar_t* szFileName, const wchar_t* szMode)
{
    if (szFileName == nullptr || szMode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // The target's commit flag 'c' asks for data on the medium at every
    // flush; here the caller commits with _commit, so it is dropped.
    std::string strMode;
    for (const wchar_t* p = szMode; *p != L'\0'; ++p) {
        if (*p != L'c' && *p != L'n') {
            strMode += static_cast<char>(*p);
        }
    }
    const int nFlags = openFlagsOf(strMode);
    if (nFlags < 0) {
        errno = EINVAL;
        return nullptr;
    }
    const int nFd = openRegularFile(nativePath(szFileName), nFlags);
    if (nFd < 0) {
        return nullptr;
    }
    FILE* pFile = ::fdopen(nFd, strMode.c_str());
    if (pFile == nullptr) {
        failFile(nFd, errno);
    }
    return pFile;
}

int _fileno(FILE* pFile)
{
    return pFile != nullptr ? ::fileno(pFile) : -1;
}

int _commit(int nFileDescriptor)
{
    return ::fdatasync(nFileDescriptor);
}
