// What libquenta shows a linker: the five C functions under their plain
// names, the exported class with its virtual table and type information, and
// nothing else, all of version QUENTA_1.
#include "ProcessRunner.h"

#include <set>

namespace {

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
    // nm's lines: value, type letter, demangled name and version; parameter
    // lists of standard types are cut short here.
    std::set<std::string> setSeen;
    for (std::string strLine : linesOf({"/usr/bin/nm", "-D", "--defined-only", "-C"})) {
        strLine.erase(0, strLine.find(' ') + 1);
        const size_t unStd = strLine.find("(std::");
        if (unStd != std::string::npos) {
            strLine.replace(unStd + 1, strLine.rfind(')') - unStd - 1, "...");
        }
        setSeen.insert(strLine);
    }
    const std::string strClass = "QUENTA::QuentaConfiguratorC", strMember = "T " + strClass + "::";
    const std::set<std::string> setExpected = {
        "A QUENTA_1",
        "T QUENTA_createPortHandle@@QUENTA_1",
        "T QUENTA_getPairedDevice@@QUENTA_1",
        "T QUENTA_pairDevice@@QUENTA_1",
        "T QUENTA_searchDevices@@QUENTA_1",
        "T QUENTA_switchToDataMode@@QUENTA_1",
        strMember + "pairDevice(...)@@QUENTA_1",
        strMember + "searchDevices(...)@@QUENTA_1",
        strMember + "getPairedDevice(...)@@QUENTA_1",
        strMember + "createPortHandle()@@QUENTA_1",
        strMember + "switchToDataMode()@@QUENTA_1",
        strMember + "QuentaConfiguratorC(QUENTA::QuentaConfiguratorC const&)@@QUENTA_1",
        strMember + "QuentaConfiguratorC()@@QUENTA_1",
        strMember + "~QuentaConfiguratorC()@@QUENTA_1",
        strMember + "operator=(QUENTA::QuentaConfiguratorC const&)@@QUENTA_1",
        "V typeinfo for " + strClass + "@@QUENTA_1",
        "V typeinfo name for " + strClass + "@@QUENTA_1",
        "V vtable for " + strClass + "@@QUENTA_1"};
    EXPECT_EQ(setExpected, setSeen);
}

} // namespace
