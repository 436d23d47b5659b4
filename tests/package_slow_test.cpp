// The installed package as a consumer meets it: installed to one folder and
// then moved to another, both the CMake package and the pkg-config file must
// lead the compiler to the moved copy's header and library, never to another.
#include "ProcessRunner.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdlib.h>

namespace fs = std::filesystem;

namespace {

const char c_szConsumer[] =
    "#include <quenta.h>\nint main(void) { return QUENTA_pairDevice(0); }\n";
const char c_szProject[] =
    "cmake_minimum_required(VERSION 3.20)\n"
    "project(consumer C)\n"
    "find_package(Quenta 1 REQUIRED)\n"
    "add_library(consumer OBJECT main.c)\n"
    "target_link_libraries(consumer PRIVATE Quenta::quenta)\n"
    "file(GENERATE OUTPUT library.txt CONTENT $<TARGET_FILE:Quenta::quenta>)\n";

class PackageSlowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char szDir[] = "/tmp/quenta-package-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(szDir));
        m_dir = szDir;
        const fs::path installed = m_dir / "installed";
        ASSERT_EQ(0, shell("cmake --install '" + proctest::binaryDir() + "' --prefix '" +
                           installed.string() + "' >/dev/null"));
        // Moved after installing: nothing may point back to where it was put.
        m_prefix = m_dir / "moved";
        fs::rename(installed, m_prefix);
        write(m_dir / "consumer" / "main.c", c_szConsumer);
        write(m_dir / "consumer" / "CMakeLists.txt", c_szProject);
    }

    void TearDown() override { fs::remove_all(m_dir); }

    static void write(const fs::path& path, const std::string& strText)
    {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << strText;
    }

    int shell(const std::string& strCommand)
    {
        const proctest::RunS result = proctest::runProcess({"/bin/sh", "-c", strCommand});
        m_strOut = result.m_strOut;
        EXPECT_EQ(0, result.m_nExit) << strCommand << "\n" << result.m_strErr;
        return result.m_nExit;
    }

    // The moved prefix's own header, as the compiler's dependency output names it.
    bool usesMovedHeader(const std::string& strDependencies)
    {
        for (const std::string& strWord : proctest::splitLines(strDependencies)) {
            const size_t unAt = strWord.find_first_not_of(" \t\\");
            if (unAt == std::string::npos || strWord.find("quenta.h") == std::string::npos) {
                continue;
            }
            const std::string strPath =
                strWord.substr(unAt, strWord.find_last_not_of(" \\") + 1 - unAt);
            return fs::equivalent(strPath, m_prefix / "include" / "quenta.h");
        }
        return false;
    }

    fs::path m_dir;
    fs::path m_prefix;
    std::string m_strOut;
};

TEST_F(PackageSlowTest, PkgConfigLeadsToTheMovedPrefix)
{
    const std::string strEnv =
        "export PKG_CONFIG_PATH='" + (m_prefix / "lib" / "pkgconfig").string() + "'; ";
    ASSERT_EQ(0, shell(strEnv + "pkg-config --libs-only-L quenta"));
    ASSERT_EQ(0u, m_strOut.find("-L")) << m_strOut;
    EXPECT_TRUE(
        fs::equivalent(m_strOut.substr(2, m_strOut.find_last_not_of(" \n") - 1), m_prefix / "lib"))
        << m_strOut;
    const fs::path consumer = m_dir / "consumer";
    ASSERT_EQ(0, shell(strEnv + "cc $(pkg-config --cflags quenta) -MD -MF '" +
                       (consumer / "main.d").string() + "' -c '" + (consumer / "main.c").string() +
                       "' -o '" + (consumer / "main.o").string() + "' && cat '" +
                       (consumer / "main.d").string() + "'"));
    EXPECT_TRUE(usesMovedHeader(m_strOut)) << m_strOut;
}

TEST_F(PackageSlowTest, CMakePackageLeadsToTheMovedPrefix)
{
    const fs::path build = m_dir / "build";
    ASSERT_EQ(0, shell("cmake -S '" + (m_dir / "consumer").string() + "' -B '" + build.string() +
                       "' -G Ninja -DCMAKE_PREFIX_PATH='" + m_prefix.string() +
                       "' >/dev/null && cmake --build '" + build.string() +
                       "' >/dev/null && ninja -C '" + build.string() + "' -t deps"));
    EXPECT_TRUE(usesMovedHeader(m_strOut)) << m_strOut;
    std::ifstream library(build / "library.txt");
    std::string strLibrary;
    std::getline(library, strLibrary);
    EXPECT_TRUE(fs::equivalent(fs::canonical(strLibrary).parent_path(), m_prefix / "lib"))
        << strLibrary;
}

} // namespace
