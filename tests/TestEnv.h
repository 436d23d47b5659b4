// What the tests need of the host, the same on POSIX and Windows: a private
// temporary directory, a file's bytes, environment variables the core sees, paths as the
// UTF-8 text the core takes, a process's exit code as its parent sees it.
#pragma once

#include "Nox_Hal/NOX_HAL_Path.h"
#include "Platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace testenv {

// The path as UTF-8, the form of every path the core takes.
inline std::string utf8(const std::filesystem::path& path)
{
    const auto strText = path.u8string();
    return std::string(strText.begin(), strText.end());
}

// A new, empty directory of the test's own under the host's temporary
// directory, its name starting with strPrefix; empty when none can be made.
inline std::filesystem::path makeTempDir(const std::string& strPrefix)
{
    // create_directory tells a name taken by another run from a new one.
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::random_device random;
    for (int nTry = 0; !error && nTry < 100; ++nTry) {
        const auto candidate = base / (strPrefix + std::to_string(random()));
        if (std::filesystem::create_directory(candidate, error)) {
            return candidate;
        }
    }
    return std::filesystem::path();
}

// The file's bytes as they stand; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Sets the variable for this process, both where the core reads it
// (GetEnvironmentVariableW on Windows) and for getenv.
inline void setEnv(const char* szName, const std::string& strValue)
{
#if defined(_WIN32)
    const std::wstring strName = NOX::HAL::widePath(szName);
    const std::wstring strWide = NOX::HAL::widePath(strValue);
    ::_wputenv_s(strName.c_str(), strWide.c_str());
    SetEnvironmentVariableW(strName.c_str(), strWide.c_str());
#else
    ::setenv(szName, strValue.c_str(), 1);
#endif
}

// The code a parent sees when the process ends with nCode: Windows keeps all
// 32 bits, a POSIX exit status only the low eight.
inline int exitCodeSeen(int nCode)
{
#if defined(_WIN32)
    return nCode;
#else
    return nCode & 0xFF;
#endif
}

} // namespace testenv
