#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace QUENTA {
namespace FUZZ {

namespace {

std::vector<std::string>& directoriesToRemove()
{
    static std::vector<std::string> s_vecDirectories;
    return s_vecDirectories;
}

void removeDirectories()
{
    std::error_code error;
    for (const std::string& strDirectory : directoriesToRemove()) {
        std::filesystem::remove_all(strDirectory, error);
    }
}

} // namespace

void require(bool bCondition, const char* szWhat)
{
    if (!bCondition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", szWhat);
        std::abort();
    }
}

std::string makePrivateDirectory(const char* szPrefix)
{
    const char* szTemp = std::getenv("TMPDIR");
    std::string strTemplate = std::string(szTemp != nullptr && *szTemp != '\0' ? szTemp : "/tmp") +
                              "/" + szPrefix + "-XXXXXX";
    require(mkdtemp(&strTemplate[0]) != nullptr, "cannot make a private directory");
    if (directoriesToRemove().empty()) {
        std::atexit(removeDirectories);
    }
    directoriesToRemove().push_back(strTemplate);
    return strTemplate;
}

void emptyDirectory(const std::string& strDirectory)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(strDirectory, error)) {
        std::filesystem::remove_all(entry.path(), error);
    }
}

void writeFile(const std::string& strPath, const std::string& strContent)
{
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    file.write(strContent.data(), static_cast<std::streamsize>(strContent.size()));
    require(file.good(), "cannot write an input file");
}

std::string readFile(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace FUZZ
} // namespace QUENTA
