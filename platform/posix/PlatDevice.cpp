// Serial device names and who may open a device node.
#include "PlatformDevice.h"

#include <cstdlib>
#include <string>

#include <grp.h>
#include <pwd.h>
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

std::string userName(uid_t uid)
{
    struct passwd entry;
    struct passwd* pFound = nullptr;
    char szBuffer[4096];
    if (getpwuid_r(uid, &entry, szBuffer, sizeof(szBuffer), &pFound) == 0 && pFound != nullptr)
        return pFound->pw_name;
    return std::to_string(uid);
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

PlatDeviceAccessS PlatDeviceAccess(const std::string& strPath)
{
    PlatDeviceAccessS access;
    struct stat st;
    if (::stat(strPath.c_str(), &st) != 0)
        return access;
    access.m_bKnown = true;
    access.m_strOwner = userName(st.st_uid);
    access.m_strGroup = groupName(st.st_gid);
    access.m_unMode = static_cast<unsigned>(st.st_mode & 07777);
    return access;
}
