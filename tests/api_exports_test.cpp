// What libquenta shows a linker: the five C functions under their plain
// names, the exported class with its virtual table and type information, and
// nothing else, all of version QUENTA_1; the file name the loader looks for is
// the one the library carries as its SONAME.
#include "ProcessRunner.h"

#include <algorithm>

namespace {

const std::string c_strClass = "QUENTA::QuentaConfiguratorC";

// The lines a tool prints about libquenta.so.1 of this build.
std::vector<std::string> linesOf(std::vector<std::string> vecArgv)
{
    vecArgv.push_back(proctest::binaryDir() + "/libquenta.so.1");
    const proctest::RunS result = proctest::runProcess(vecArgv);
    EXPECT_EQ(0, result.m_nExit) << result.m_strErr;
    return proctest::splitLines(result.m_strOut);
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
    for (const std::string& strLine : linesOf({"/usr/bin/nm", "-D", "--defined-only", "-C"})) {
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
    for (const std::string& strLine : linesOf({"/usr/bin/readelf", "-d"})) {
        if (strLine.find("(SONAME)") != std::string::npos) {
            vecSonames.push_back(strLine.substr(strLine.find('[')));
        }
    }
    EXPECT_EQ(std::vector<std::string>{"[libquenta.so.1]"}, vecSonames);
}

} // namespace
