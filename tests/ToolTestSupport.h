// Running the quenta binary without a module, and the scratch directories
// its cases build files and device trees in.
#pragma once

#include "ProcessRunner.h"
#include "TestEnv.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tooltest {

// The QUENTA_PORT_COM8 of the environment never leaks in.
inline proctest::RunS runTool(const std::vector<std::string>& vecArgs,
                              const proctest::EnvT& vecEnv = {})
{
    std::vector<std::string> vecArgv = {proctest::binaryDir() + "/tools/quenta"};
    vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
    proctest::EnvT vecAll = {{"QUENTA_PORT_COM8", ""}};
    vecAll.insert(vecAll.end(), vecEnv.begin(), vecEnv.end());
    return proctest::runProcess(vecArgv, vecAll, 30000);
}

inline bool contains(const std::string& strText, const std::string& strPart)
{
    return strText.find(strPart) != std::string::npos;
}

using testenv::readFile;

// A fresh directory, removed at the end.
class TempDirC
{
public:
    TempDirC()
    {
        char szTemplate[] = "/tmp/quenta-tool-XXXXXX";
        EXPECT_NE(nullptr, ::mkdtemp(szTemplate));
        m_strPath = szTemplate;
    }
    ~TempDirC() { std::filesystem::remove_all(m_strPath); }
    TempDirC(const TempDirC&) = delete;
    TempDirC& operator=(const TempDirC&) = delete;

    const std::string& path() const { return m_strPath; }
    std::string operator/(const std::string& strName) const { return m_strPath + "/" + strName; }

    void file(const std::string& strName, const std::string& strContent = std::string()) const
    {
        std::filesystem::create_directories(std::filesystem::path(*this / strName).parent_path());
        std::ofstream(*this / strName) << strContent;
    }
    void link(const std::string& strName, const std::string& strTarget) const
    {
        std::filesystem::create_directories(std::filesystem::path(*this / strName).parent_path());
        std::filesystem::create_symlink(strTarget, *this / strName);
    }

private:
    std::string m_strPath;
};

} // namespace tooltest
