// Serial device names and the access rights of a device node.
#include "PlatformDevice.h"

#include <cstdlib>
#include <string>

#include <grp.h>
#include <strings.h>
#include <sys/stat.h>

namespace {

// The n of a "COM<n>:" name, or 0 when the name is not one.
unsigned comPortNumber(const std::string& strName)
{
    const size_t nDigits = strName.size() < 5 ? 0 : strName.size() - 4;
    if (nDigits == 0 || nDigits > 4 || strncasecmp(strName.c_str(), "COM", 3) != 0 ||
        strName.back() != ':')
        return 0;
    unsigned unNumber = 0;
    for (size_t i = 3; i < 3 + nDigits; ++i) {
        if (strName[i] < '0' || strName[i] > '9')
            return 0;
        unNumber = unNumber * 10 + static_cast<unsigned>(strName[i] - '0');
    }
    return unNumber;
}

char fileTypeLetter(mode_t mode)
{
    if (S_ISCHR(mode))
        return 'c';
    if (S_ISBLK(mode))
        return 'b';
    if (S_ISDIR(mode))
        return 'd';
    if (S_ISFIFO(mode))
        return 'p';
    if (S_ISSOCK(mode))
        return 's';
    return '-';
}

// As ls shows it, without the set-id and sticky letters.
std::string modeText(mode_t mode)
{
    std::string strMode(1, fileTypeLetter(mode));
    const char* const c_szLetters = "rwx";
    for (int nBit = 8; nBit >= 0; --nBit) {
        strMode += (mode & (1u << nBit)) != 0 ? c_szLetters[(8 - nBit) % 3] : '-';
    }
    return strMode;
}

std::string groupName(gid_t gid)
{
    struct group entry;
    struct group* pFound = nullptr;
    char szBuffer[4096];
    if (getgrgid_r(gid, &entry, szBuffer, sizeof(szBuffer), &pFound) == 0 && pFound != nullptr)
        return pFound->gr_name;
    return std::to_string(gid);
}

} // namespace

std::string PlatSerialDevicePath(const std::string& strName)
{
    const unsigned unPort = comPortNumber(strName);
    if (unPort == 0)
        return strName;
    const std::string strVariable = "QUENTA_PORT_COM" + std::to_string(unPort);
    const char* pszMapped = std::getenv(strVariable.c_str());
    if (pszMapped != nullptr && *pszMapped != 0)
        return pszMapped;
    return "/dev/ttyS" + std::to_string(unPort - 1);
}

std::string PlatDeviceAccessText(const std::string& strPath)
{
    struct stat st;
    if (::stat(strPath.c_str(), &st) != 0)
        return std::string();
    return "group " + groupName(st.st_gid) + ", mode " + modeText(st.st_mode);
}
