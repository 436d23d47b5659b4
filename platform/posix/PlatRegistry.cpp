// A small persistent registry kept in a text file, one per user.
//
// The file reads like a .reg export, in UTF-8:
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Halvern\Configuration]
//   "ASSERTEnabled"=dword:00000001
//   "Other"=hex(1):41,00,00,00
// It is read on every call, so changes by other processes are seen, and
// replaced atomically on every change.
#include "PlatInternal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace plat {

namespace {

struct RegValueS
{
    std::wstring strName;
    DWORD dwType;
    std::vector<BYTE> vecData;
};

struct RegKeyS
{
    std::wstring strPath;
    // By folded value name.
    std::map<std::wstring, RegValueS> mapValues;
};

// By folded key path, the root's name first.
typedef std::map<std::wstring, RegKeyS> RegistryT;

// By value, so that the table is constant and usable during static
// initialisation.
struct RootS
{
    uintptr_t uKey;
    const wchar_t* pszName;
};

const RootS c_aRoots[] = {
    {0x80000000u, L"HKEY_CLASSES_ROOT"},
    {0x80000001u, L"HKEY_CURRENT_USER"},
    {0x80000002u, L"HKEY_LOCAL_MACHINE"},
};

// Serialises this process's calls; a lock on the file's directory does the
// same between processes.
pthread_mutex_t s_mutex = PTHREAD_MUTEX_INITIALIZER;

// The open keys by handle, each with its full path. Handle values come from a
// counter and are never reused, so a closed key stays invalid. Never
// destroyed, so keys may be closed from static destructors.
struct OpenKeysS
{
    uintptr_t uNextKey = uintptr_t(1) << 32;
    std::map<HKEY, std::wstring> mapPaths;
};

OpenKeysS& openKeys()
{
    static OpenKeysS* s_pOpenKeys = new OpenKeysS;
    return *s_pOpenKeys;
}

class RegistryLockC
{
public:
    RegistryLockC() { pthread_mutex_lock(&s_mutex); }
    ~RegistryLockC()
    {
        if (m_nDirectory >= 0) {
            close(m_nDirectory);
        }
        pthread_mutex_unlock(&s_mutex);
    }
    RegistryLockC(const RegistryLockC&) = delete;
    RegistryLockC& operator=(const RegistryLockC&) = delete;

    // Shared for reading, exclusive for a change; a missing directory is
    // nothing to lock (nor to read).
    void lockDirectory(const std::string& strDirectory, bool bExclusive)
    {
        m_nDirectory = open(strDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_nDirectory >= 0) {
            while (flock(m_nDirectory, bExclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
            }
        }
    }

private:
    int m_nDirectory = -1;
};

std::wstring fold(const std::wstring& strText)
{
    std::wstring strFolded(strText);
    for (wchar_t& rChar : strFolded) {
        bool bAsciiUpper = rChar >= L'A' && rChar <= L'Z';
        bool bLatinUpper = rChar >= 0xC0 && rChar <= 0xDE && rChar != 0xD7;
        if (bAsciiUpper || bLatinUpper) {
            rChar = static_cast<wchar_t>(rChar + 0x20);
        }
    }
    return strFolded;
}

// ------------------------------------------------------------ the file

bool registryPath(std::string& rPath)
{
    const char* pszFile = getenv("QUENTA_REGISTRY_FILE");
    if (pszFile != nullptr && *pszFile != '\0') {
        rPath = pszFile;
        return true;
    }
    const char* pszConfig = getenv("XDG_CONFIG_HOME");
    if (pszConfig != nullptr && *pszConfig == '/') {
        rPath = std::string(pszConfig) + "/quenta/registry";
        return true;
    }
    const char* pszHome = getenv("HOME");
    if (pszHome != nullptr && *pszHome != '\0') {
        rPath = std::string(pszHome) + "/.config/quenta/registry";
        return true;
    }
    return false;
}

std::string directoryOf(const std::string& strPath)
{
    size_t unSlash = strPath.rfind('/');
    if (unSlash == std::string::npos) {
        return ".";
    }
    return unSlash == 0 ? "/" : strPath.substr(0, unSlash);
}

LONG makeDirectories(const std::string& strDirectory)
{
    for (size_t unSlash = strDirectory.find('/', 1);;
         unSlash = strDirectory.find('/', unSlash + 1)) {
        std::string strPart = strDirectory.substr(0, unSlash);
        if (mkdir(strPart.c_str(), 0777) != 0 && errno != EEXIST) {
            return static_cast<LONG>(errorFromErrno(errno));
        }
        if (unSlash == std::string::npos) {
            return ERROR_SUCCESS;
        }
    }
}

std::string quoted(const std::wstring& strName)
{
    std::string strOut = "\"";
    for (char cChar : utf8FromWide(strName.data(), strName.size())) {
        if (cChar == '"' || cChar == '\\') {
            strOut += '\\';
            strOut += cChar;
        } else if (cChar == '\n') {
            strOut += "\\n";
        } else {
            strOut += cChar;
        }
    }
    return strOut + "\"";
}

std::string formatValue(const RegValueS& rValue)
{
    std::string strLine = rValue.strName.empty() ? "@" : quoted(rValue.strName);
    char szBuffer[32];
    if (rValue.dwType == REG_DWORD && rValue.vecData.size() == sizeof(DWORD)) {
        DWORD dwValue = 0;
        std::copy(rValue.vecData.begin(), rValue.vecData.end(), reinterpret_cast<BYTE*>(&dwValue));
        snprintf(szBuffer, sizeof szBuffer, "=dword:%08x", static_cast<unsigned>(dwValue));
        return strLine + szBuffer;
    }
    snprintf(szBuffer, sizeof szBuffer, "=hex(%x):", static_cast<unsigned>(rValue.dwType));
    strLine += szBuffer;
    for (size_t unIndex = 0; unIndex < rValue.vecData.size(); ++unIndex) {
        snprintf(szBuffer, sizeof szBuffer, unIndex == 0 ? "%02x" : ",%02x",
                 static_cast<unsigned>(rValue.vecData[unIndex]));
        strLine += szBuffer;
    }
    return strLine;
}

// Reads a quoted name at the start of rLine; false when malformed.
bool parseName(const std::string& strLine, size_t& rPos, std::wstring& rName)
{
    if (strLine[0] == '@') {
        rName.clear();
        rPos = 1;
        return true;
    }
    std::string strName;
    for (rPos = 1; rPos < strLine.size() && strLine[rPos] != '"'; ++rPos) {
        if (strLine[rPos] == '\\' && rPos + 1 < strLine.size()) {
            ++rPos;
            strName += strLine[rPos] == 'n' ? '\n' : strLine[rPos];
        } else {
            strName += strLine[rPos];
        }
    }
    if (rPos >= strLine.size()) {
        return false;
    }
    ++rPos;
    rName = wideFromUtf8(strName.data(), strName.size());
    return true;
}

bool parseData(const std::string& strData, RegValueS& rValue)
{
    unsigned unValue = 0;
    int nUsed = 0;
    if (sscanf(strData.c_str(), "dword:%8x%n", &unValue, &nUsed) == 1 &&
        static_cast<size_t>(nUsed) == strData.size()) {
        DWORD dwValue = unValue;
        rValue.dwType = REG_DWORD;
        const BYTE* pBytes = reinterpret_cast<const BYTE*>(&dwValue);
        rValue.vecData.assign(pBytes, pBytes + sizeof dwValue);
        return true;
    }
    if (sscanf(strData.c_str(), "hex(%x):%n", &unValue, &nUsed) != 1 || nUsed == 0) {
        return false;
    }
    rValue.dwType = unValue;
    rValue.vecData.clear();
    size_t unPos = static_cast<size_t>(nUsed);
    while (unPos < strData.size()) {
        unsigned unByte = 0;
        int nByteUsed = 0;
        if (sscanf(strData.c_str() + unPos, "%2x%n", &unByte, &nByteUsed) != 1) {
            return false;
        }
        rValue.vecData.push_back(static_cast<BYTE>(unByte));
        unPos += static_cast<size_t>(nByteUsed);
        if (unPos < strData.size() && strData[unPos++] != ',') {
            return false;
        }
    }
    return true;
}

void parseLine(const std::string& strLine, RegistryT& rRegistry, RegKeyS*& rpKey)
{
    if (strLine.size() >= 2 && strLine.front() == '[' && strLine.back() == ']') {
        std::wstring strPath = wideFromUtf8(strLine.data() + 1, strLine.size() - 2);
        RegKeyS& rKey = rRegistry[fold(strPath)];
        rKey.strPath = strPath;
        rpKey = &rKey;
        return;
    }
    if (rpKey == nullptr || strLine.empty() || (strLine[0] != '"' && strLine[0] != '@')) {
        return;
    }
    RegValueS value;
    size_t unPos = 0;
    if (parseName(strLine, unPos, value.strName) && unPos < strLine.size() &&
        strLine[unPos] == '=' && parseData(strLine.substr(unPos + 1), value)) {
        rpKey->mapValues[fold(value.strName)] = value;
    }
}

// A missing file is an empty registry; lines that cannot be read are skipped.
RegistryT loadRegistry(const std::string& strPath)
{
    RegistryT registry;
    std::ifstream file(strPath);
    std::string strLine;
    RegKeyS* pKey = nullptr;
    while (std::getline(file, strLine)) {
        if (!strLine.empty() && strLine.back() == '\r') {
            strLine.pop_back();
        }
        parseLine(strLine, registry, pKey);
    }
    return registry;
}

std::string formatRegistry(const RegistryT& rRegistry)
{
    std::ostringstream text;
    for (const auto& rEntry : rRegistry) {
        const std::wstring& strPath = rEntry.second.strPath;
        text << '[' << utf8FromWide(strPath.data(), strPath.size()) << "]\n";
        for (const auto& rValue : rEntry.second.mapValues) {
            text << formatValue(rValue.second) << '\n';
        }
    }
    return text.str();
}

LONG writeAll(int nFile, const std::string& strText)
{
    size_t unDone = 0;
    while (unDone < strText.size()) {
        ssize_t nWritten = write(nFile, strText.data() + unDone, strText.size() - unDone);
        if (nWritten < 0 && errno != EINTR) {
            return static_cast<LONG>(errorFromErrno(errno));
        }
        unDone += nWritten > 0 ? static_cast<size_t>(nWritten) : 0;
    }
    return fsync(nFile) == 0 ? ERROR_SUCCESS : static_cast<LONG>(errorFromErrno(errno));
}

// Written beside the file and renamed over it, so that a reader sees either
// the old or the new registry, never a part.
LONG saveRegistry(const std::string& strPath, const RegistryT& rRegistry)
{
    std::string strTemporary = strPath + ".tmp." + std::to_string(getpid());
    int nFile = open(strTemporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (nFile < 0) {
        return static_cast<LONG>(errorFromErrno(errno));
    }
    LONG lResult = writeAll(nFile, formatRegistry(rRegistry));
    if (close(nFile) != 0 && lResult == ERROR_SUCCESS) {
        lResult = static_cast<LONG>(errorFromErrno(errno));
    }
    if (lResult == ERROR_SUCCESS && rename(strTemporary.c_str(), strPath.c_str()) != 0) {
        lResult = static_cast<LONG>(errorFromErrno(errno));
    }
    if (lResult != ERROR_SUCCESS) {
        unlink(strTemporary.c_str());
    }
    return lResult;
}

// ------------------------------------------------------------ keys

// The full path of a key handle, the root's name first; false when the
// handle is neither a root nor an open key.
bool pathOfKey(HKEY hKey, std::wstring& rPath)
{
    for (const RootS& rRoot : c_aRoots) {
        if (rRoot.uKey == reinterpret_cast<uintptr_t>(hKey)) {
            rPath = rRoot.pszName;
            return true;
        }
    }
    auto it = openKeys().mapPaths.find(hKey);
    if (it == openKeys().mapPaths.end()) {
        return false;
    }
    rPath = it->second;
    return true;
}

// Appends a subkey path; empty parts (doubled or outer backslashes) are
// dropped. False for names that the file cannot hold.
bool appendSubKey(std::wstring& rPath, LPCWSTR pszSubKey)
{
    std::wstring strPart;
    for (const wchar_t* pChar = pszSubKey != nullptr ? pszSubKey : L"";; ++pChar) {
        if (*pChar == L'\n' || *pChar == L'\r') {
            return false;
        }
        if (*pChar == L'\\' || *pChar == L'\0') {
            if (!strPart.empty()) {
                rPath += L'\\' + strPart;
                strPart.clear();
            }
            if (*pChar == L'\0') {
                return true;
            }
        } else {
            strPart += *pChar;
        }
    }
}

bool isRootPath(const std::wstring& strPath)
{
    return strPath.find(L'\\') == std::wstring::npos;
}

// A key exists when it is listed or has a listed key below it.
const RegKeyS* findKey(const RegistryT& rRegistry, const std::wstring& strPath)
{
    std::wstring strFolded = fold(strPath);
    auto it = rRegistry.lower_bound(strFolded);
    if (it == rRegistry.end()) {
        return nullptr;
    }
    bool bSame = it->first == strFolded;
    bool bBelow = it->first.compare(0, strFolded.size() + 1, strFolded + L'\\') == 0;
    return bSame || bBelow ? &it->second : nullptr;
}

// Adds the key and every missing key above it.
void addKey(RegistryT& rRegistry, const std::wstring& strPath)
{
    for (size_t unSlash = strPath.find(L'\\');; unSlash = strPath.find(L'\\', unSlash + 1)) {
        std::wstring strPart = strPath.substr(0, unSlash);
        std::wstring strFolded = fold(strPart);
        if (!isRootPath(strPart) && rRegistry.count(strFolded) == 0) {
            rRegistry[strFolded].strPath = strPart;
        }
        if (unSlash == std::wstring::npos) {
            return;
        }
    }
}

HKEY openKeyHandle(const std::wstring& strPath)
{
    OpenKeysS& rKeys = openKeys();
    HKEY hKey = reinterpret_cast<HKEY>(rKeys.uNextKey);
    rKeys.uNextKey += 8;
    rKeys.mapPaths[hKey] = strPath;
    return hKey;
}

// The stored spelling of a key path (its first creator's), or the path given.
std::wstring storedPath(const RegistryT& rRegistry, const std::wstring& strPath)
{
    auto it = rRegistry.find(fold(strPath));
    return it != rRegistry.end() ? it->second.strPath : strPath;
}

LONG copyValueOut(const RegValueS& rValue, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpType != nullptr) {
        *lpType = rValue.dwType;
    }
    DWORD dwSize = static_cast<DWORD>(rValue.vecData.size());
    if (lpData == nullptr) {
        if (lpcbData != nullptr) {
            *lpcbData = dwSize;
        }
        return ERROR_SUCCESS;
    }
    DWORD dwRoom = *lpcbData;
    *lpcbData = dwSize;
    if (dwRoom < dwSize) {
        return ERROR_MORE_DATA;
    }
    std::copy(rValue.vecData.begin(), rValue.vecData.end(), lpData);
    return ERROR_SUCCESS;
}

} // namespace

} // namespace plat

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    plat::RegistryLockC lock;
    std::wstring strPath;
    if (!plat::pathOfKey(hKey, strPath)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!plat::appendSubKey(strPath, lpSubKey)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!plat::isRootPath(strPath)) {
        std::string strFile;
        if (!plat::registryPath(strFile)) {
            return ERROR_FILE_NOT_FOUND;
        }
        lock.lockDirectory(plat::directoryOf(strFile), false);
        plat::RegistryT registry = plat::loadRegistry(strFile);
        if (plat::findKey(registry, strPath) == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
        strPath = plat::storedPath(registry, strPath);
    }
    *phkResult = plat::openKeyHandle(strPath);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    plat::RegistryLockC lock;
    std::wstring strPath;
    if (!plat::pathOfKey(hKey, strPath)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!plat::appendSubKey(strPath, lpSubKey)) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD dwDisposition = REG_OPENED_EXISTING_KEY;
    if (!plat::isRootPath(strPath)) {
        std::string strFile;
        if (!plat::registryPath(strFile)) {
            return ERROR_PATH_NOT_FOUND;
        }
        std::string strDirectory = plat::directoryOf(strFile);
        LONG lResult = plat::makeDirectories(strDirectory);
        if (lResult != ERROR_SUCCESS) {
            return lResult;
        }
        lock.lockDirectory(strDirectory, true);
        plat::RegistryT registry = plat::loadRegistry(strFile);
        if (plat::findKey(registry, strPath) == nullptr) {
            plat::addKey(registry, strPath);
            lResult = plat::saveRegistry(strFile, registry);
            if (lResult != ERROR_SUCCESS) {
                return lResult;
            }
            dwDisposition = REG_CREATED_NEW_KEY;
        }
        strPath = plat::storedPath(registry, strPath);
    }
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = dwDisposition;
    }
    *phkResult = plat::openKeyHandle(strPath);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData)
{
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    plat::RegistryLockC lock;
    std::wstring strPath;
    if (!plat::pathOfKey(hKey, strPath)) {
        return ERROR_INVALID_HANDLE;
    }
    std::string strFile;
    if (!plat::registryPath(strFile)) {
        return ERROR_FILE_NOT_FOUND;
    }
    lock.lockDirectory(plat::directoryOf(strFile), false);
    plat::RegistryT registry = plat::loadRegistry(strFile);
    auto itKey = registry.find(plat::fold(strPath));
    if (itKey == registry.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    auto itValue =
        itKey->second.mapValues.find(plat::fold(lpValueName != nullptr ? lpValueName : L""));
    if (itValue == itKey->second.mapValues.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    return plat::copyValueOut(itValue->second, lpType, lpData, lpcbData);
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData)
{
    if (lpData == nullptr && cbData != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring strName = lpValueName != nullptr ? lpValueName : L"";
    plat::RegistryLockC lock;
    std::wstring strPath;
    if (!plat::pathOfKey(hKey, strPath)) {
        return ERROR_INVALID_HANDLE;
    }
    if (plat::isRootPath(strPath)) {
        // Root keys hold no values of their own here.
        return ERROR_ACCESS_DENIED;
    }
    std::string strFile;
    if (!plat::registryPath(strFile)) {
        return ERROR_PATH_NOT_FOUND;
    }
    std::string strDirectory = plat::directoryOf(strFile);
    LONG lResult = plat::makeDirectories(strDirectory);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    lock.lockDirectory(strDirectory, true);
    plat::RegistryT registry = plat::loadRegistry(strFile);
    // Recreated should another process have removed it meanwhile.
    plat::addKey(registry, strPath);
    plat::RegValueS& rValue = registry[plat::fold(strPath)].mapValues[plat::fold(strName)];
    rValue.strName = strName;
    rValue.dwType = dwType;
    rValue.vecData.assign(lpData, lpData + cbData);
    return plat::saveRegistry(strFile, registry);
}

LONG RegCloseKey(HKEY hKey)
{
    plat::RegistryLockC lock;
    for (const plat::RootS& rRoot : plat::c_aRoots) {
        if (rRoot.uKey == reinterpret_cast<uintptr_t>(hKey)) {
            return ERROR_SUCCESS;
        }
    }
    return plat::openKeys().mapPaths.erase(hKey) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
