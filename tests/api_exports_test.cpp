// What libquenta shows a linker: the five C functions under their plain
// names, the exported class with its virtual table and type information, and
// nothing else, all of version QUENTA_1; the file name the loader looks for is
// the one the library carries as its SONAME.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string c_strClass = "QUENTA::QuentaConfiguratorC";

// The lines a command prints about libquenta.so.1 of this build.
std::vector<std::string> linesOf(const std::string& strCommand)
{
    const char* szDir = std::getenv("QUENTA_TEST_BINARY_DIR");
    const std::string strLine =
        strCommand + " '" + (szDir != nullptr ? szDir : ".") + "/libquenta.so.1' 2>&1";
    std::string strOut;
    FILE* pPipe = popen(strLine.c_str(), "r");
    for (int nChar; pPipe != nullptr && (nChar = fgetc(pPipe)) != EOF;) {
        strOut += static_cast<char>(nChar);
    }
    EXPECT_TRUE(pPipe != nullptr && pclose(pPipe) == 0) << strLine << "\n" << strOut;
    std::vector<std::string> vecLines;
    std::istringstream stream(strOut);
    for (std::string strText; std::getline(stream, strText);) {
        vecLines.push_back(strText);
    }
    return vecLines;
}

TEST(ApiExportsTest, OnlyThePublicInterfaceIsExported)
{
    // Demangled, a function of C++ linkage would carry its parameter list, so
    // names match whole; one ending in '(' has parameters of its own.
    const std::string strMember = c_strClass + "::";
    const std::vector<std::string> vecRequired = {
        "QUENTA_searchDevices",
        "QUENTA_pairDevice",
        "QUENTA_getPairedDevice",
        "QUENTA_switchToDataMode",
        "QUENTA_createPortHandle",
        "vtable for " + c_strClass,
        "typeinfo for " + c_strClass,
        "typeinfo name for " + c_strClass,
        strMember + "QuentaConfiguratorC()",
        strMember + "QuentaConfiguratorC(QUENTA::QuentaConfiguratorC const&)",
        strMember + "operator=(QUENTA::QuentaConfiguratorC const&)",
        strMember + "~QuentaConfiguratorC()",
        strMember + "createPortHandle()",
        strMember + "switchToDataMode()",
        strMember + "searchDevices(",
        strMember + "pairDevice(",
        strMember + "getPairedDevice("};
    const auto fnMatches = [](const std::string& strName, const std::string& strRequired) {
        return strRequired.back() == '(' ? strName.rfind(strRequired, 0) == 0
                                         : strName == strRequired;
    };
    std::vector<std::string> vecSeen;
    // Lines of nm: value, type letter, demangled name (which may hold spaces).
    for (const std::string& strLine : linesOf("nm -D --defined-only -C")) {
        const size_t unType = strLine.find(' ') + 1;
        ASSERT_TRUE(unType > 0 && strLine.size() > unType + 2) << strLine;
        const std::string strFull = strLine.substr(unType + 2);
        const size_t unAt = std::min(strFull.find('@'), strFull.size());
        const std::string strName = strFull.substr(0, unAt);
        if (strName == "QUENTA_1" && strLine[unType] == 'A') {
            continue;
        }
        EXPECT_EQ("@@QUENTA_1", strFull.substr(unAt)) << strLine;
        EXPECT_TRUE(strName.rfind(strMember, 0) == 0 ||
                    std::any_of(vecRequired.begin(), vecRequired.end(),
                                [&](const std::string& s) { return fnMatches(strName, s); }))
            << "exported but not public: " << strName;
        EXPECT_TRUE(strName.rfind("QUENTA_", 0) != 0 || strLine[unType] == 'T') << strLine;
        vecSeen.push_back(strName);
    }
    for (const std::string& strRequired : vecRequired) {
        EXPECT_TRUE(std::any_of(vecSeen.begin(), vecSeen.end(),
                                [&](const std::string& s) { return fnMatches(s, strRequired); }))
            << "missing: " << strRequired;
    }
}

TEST(ApiExportsTest, SonameIsTheMajorVersion)
{
    std::vector<std::string> vecSonames;
    for (const std::string& strLine : linesOf("readelf -d")) {
        if (strLine.find("(SONAME)") != std::string::npos) {
            vecSonames.push_back(strLine.substr(strLine.find('[')));
        }
    }
    EXPECT_EQ(std::vector<std::string>{"[libquenta.so.1]"}, vecSonames);
}

} // namespace
