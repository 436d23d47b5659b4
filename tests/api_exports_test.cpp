// What libquenta shows a linker: the five C functions under their plain
// names, the exported class with its virtual table and type information, and
// nothing else; the file name the loader looks for is the one the library
// carries as its SONAME.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

TEST(ApiExportsTest, OnlyThePublicInterfaceIsExported)
{
    // Demangled, a function of C++ linkage would carry its parameter list, so
    // the five functions must match whole; a member ending in '(' has
    // parameters of its own.
    const std::string strClass = std::string(c_szClass) + "::";
    const std::vector<std::string> vecRequired = {
        "QUENTA_searchDevices",
        "QUENTA_pairDevice",
        "QUENTA_getPairedDevice",
        "QUENTA_switchToDataMode",
        "QUENTA_createPortHandle",
        std::string("vtable for ") + c_szClass,
        std::string("typeinfo for ") + c_szClass,
        std::string("typeinfo name for ") + c_szClass,
        strClass + "QuentaConfiguratorC()",
        strClass + "QuentaConfiguratorC(QUENTA::QuentaConfiguratorC const&)",
        strClass + "operator=(QUENTA::QuentaConfiguratorC const&)",
        strClass + "~QuentaConfiguratorC()",
        strClass + "createPortHandle()",
        strClass + "switchToDataMode()",
        strClass + "searchDevices(",
        strClass + "pairDevice(",
        strClass + "getPairedDevice("};
    const auto fnMatches = [](const std::string& strName, const std::string& strRequired) {
        return strRequired.back() == '(' ? strName.rfind(strRequired, 0) == 0
                                         : strName == strRequired;
    };
    std::set<std::string> setSeen;
    for (const ExportS& entry : definedExports()) {
        if (entry.strName == c_szVersionNode && entry.chType == 'A') {
            continue;
        }
        const bool bPublic = entry.strName.rfind(strClass, 0) == 0 ||
                             std::any_of(vecRequired.begin(), vecRequired.end(),
                                         [&](const std::string& strRequired) {
                                             return fnMatches(entry.strName, strRequired);
                                         });
        EXPECT_TRUE(bPublic) << "exported but not public: " << entry.strName;
        EXPECT_EQ(std::string("@@") + c_szVersionNode, entry.strVersion) << entry.strName;
        if (entry.strName.rfind("QUENTA_", 0) == 0) {
            EXPECT_EQ('T', entry.chType) << entry.strName;
        }
        setSeen.insert(entry.strName);
    }
    for (const std::string& strRequired : vecRequired) {
        EXPECT_TRUE(std::any_of(
            setSeen.begin(), setSeen.end(),
            [&](const std::string& strName) { return fnMatches(strName, strRequired); }))
            << "missing: " << strRequired;
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
