// What libquenta shows a linker: the five C functions under their plain
// names, the exported class with its virtual table and type information, and
// nothing else; the file name the loader looks for is the one the library
// carries as its SONAME.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

const char c_szClass[] = "QUENTA::QuentaConfiguratorC";
const char c_szVersionNode[] = "QUENTA_1";

std::string libraryPath()
{
    const char* szDir = std::getenv("QUENTA_TEST_BINARY_DIR");
    return std::string(szDir != nullptr ? szDir : ".") + "/libquenta.so.1";
}

bool runCommand(const std::string& strCommand, std::vector<std::string>& vecLines)
{
    FILE* pPipe = popen(strCommand.c_str(), "r");
    if (pPipe == nullptr) {
        return false;
    }
    std::string strLine;
    for (int nChar = fgetc(pPipe); nChar != EOF; nChar = fgetc(pPipe)) {
        if (nChar == '\n') {
            vecLines.push_back(strLine);
            strLine.clear();
        } else {
            strLine += static_cast<char>(nChar);
        }
    }
    return pclose(pPipe) == 0;
}

struct ExportS
{
    char chType;
    std::string strName;    // without the version
    std::string strVersion; // "@@QUENTA_1" for a default version
};

// Lines of nm: value, type letter, demangled name (which may hold spaces).
std::vector<ExportS> definedExports()
{
    std::vector<std::string> vecLines;
    const std::string strCommand = "nm -D --defined-only -C '" + libraryPath() + "' 2>&1";
    EXPECT_TRUE(runCommand(strCommand, vecLines)) << strCommand;
    std::vector<ExportS> vecExports;
    for (const std::string& strLine : vecLines) {
        const size_t unType = strLine.find(' ');
        if (unType == std::string::npos || unType + 3 > strLine.size()) {
            ADD_FAILURE() << "unexpected nm line: " << strLine;
            continue;
        }
        ExportS entry;
        entry.chType = strLine[unType + 1];
        entry.strName = strLine.substr(unType + 3);
        const size_t unAt = entry.strName.find('@');
        if (unAt != std::string::npos) {
            entry.strVersion = entry.strName.substr(unAt);
            entry.strName.erase(unAt);
        }
        vecExports.push_back(entry);
    }
    return vecExports;
}

bool isClassMember(const std::string& strName)
{
    const std::string strPrefix = std::string(c_szClass) + "::";
    return strName.compare(0, strPrefix.size(), strPrefix) == 0;
}

TEST(ApiExportsTest, OnlyThePublicInterfaceIsExported)
{
    const std::set<std::string> setFunctions = {"QUENTA_searchDevices", "QUENTA_pairDevice",
                                                "QUENTA_getPairedDevice", "QUENTA_switchToDataMode",
                                                "QUENTA_createPortHandle"};
    const std::set<std::string> setClassData = {std::string("vtable for ") + c_szClass,
                                                std::string("typeinfo for ") + c_szClass,
                                                std::string("typeinfo name for ") + c_szClass};
    std::set<std::string> setSeen;
    for (const ExportS& entry : definedExports()) {
        if (entry.strName == c_szVersionNode && entry.chType == 'A') {
            continue;
        }
        // Demangled, a function of C++ linkage would carry its parameter list.
        if (setFunctions.count(entry.strName) != 0) {
            EXPECT_EQ('T', entry.chType) << entry.strName;
        }
        const bool bPublic = setFunctions.count(entry.strName) != 0 ||
                             setClassData.count(entry.strName) != 0 || isClassMember(entry.strName);
        EXPECT_TRUE(bPublic) << "exported but not public: " << entry.strName;
        EXPECT_EQ(std::string("@@") + c_szVersionNode, entry.strVersion) << entry.strName;
        setSeen.insert(entry.strName);
    }
    for (const std::string& strName : setFunctions) {
        EXPECT_EQ(1u, setSeen.count(strName)) << "missing: " << strName;
    }
    for (const std::string& strName : setClassData) {
        EXPECT_EQ(1u, setSeen.count(strName)) << "missing: " << strName;
    }
    const std::string strClass = std::string(c_szClass) + "::";
    for (const char* szMember :
         {"QuentaConfiguratorC()", "QuentaConfiguratorC(QUENTA::QuentaConfiguratorC const&)",
          "operator=(QUENTA::QuentaConfiguratorC const&)", "~QuentaConfiguratorC()",
          "createPortHandle()", "switchToDataMode()"}) {
        EXPECT_EQ(1u, setSeen.count(strClass + szMember)) << "missing: " << strClass << szMember;
    }
    for (const char* szMember : {"searchDevices(", "pairDevice(", "getPairedDevice("}) {
        const bool bFound = std::any_of(setSeen.begin(), setSeen.end(), [&](const std::string& s) {
            return s.compare(0, strClass.size() + strlen(szMember), strClass + szMember) == 0;
        });
        EXPECT_TRUE(bFound) << "missing: " << strClass << szMember;
    }
}

TEST(ApiExportsTest, SonameIsTheMajorVersion)
{
    std::vector<std::string> vecLines;
    ASSERT_TRUE(runCommand("readelf -d '" + libraryPath() + "'", vecLines));
    std::vector<std::string> vecSonames;
    for (const std::string& strLine : vecLines) {
        if (strLine.find("(SONAME)") != std::string::npos) {
            vecSonames.push_back(strLine.substr(strLine.find('[')));
        }
    }
    EXPECT_EQ(std::vector<std::string>{"[libquenta.so.1]"}, vecSonames);
}

} // namespace
