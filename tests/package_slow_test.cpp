// The installed package as a consumer meets it: installed to one folder and
// then moved to another, both the CMake package and the pkg-config file must
// lead the compiler to the moved copy's header and library, never to another,
// and the programs built so must run on that library against the simulated
// module. And the Debian packages that cpack makes of the same build tree.
#include "ProcessRunner.h"
#include "SIM_SimulatedModule.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fnmatch.h>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdlib.h>
#include <vector>

namespace fs = std::filesystem;
using namespace QUENTA::SIM;

namespace {

// Shared by the C and the C++ consumer: every mapping of libquenta in the
// process, by the file the loader really took.
const char c_szPrintLibraries[] =
    "#include <stdio.h>\n#include <string.h>\n"
    "static void printLibraries(void) {\n"
    "    char szLine[4096];\n"
    "    FILE* pMaps = fopen(\"/proc/self/maps\", \"r\");\n"
    "    while (pMaps != NULL && fgets(szLine, sizeof szLine, pMaps) != NULL)\n"
    "        if (strstr(szLine, \"libquenta\") != NULL && strchr(szLine, '/') != NULL)\n"
    "            printf(\"library=%s\", strchr(szLine, '/'));\n"
    "    if (pMaps != NULL) fclose(pMaps);\n"
    "}\n";
const char c_szConsumerC[] = "#include <quenta.h>\n"
                             "int main(void) {\n"
                             "    char szName[64];\n"
                             "    uint32_t ulSize = sizeof szName;\n"
                             "    if (!QUENTA_getPairedDevice(szName, &ulSize)) return 1;\n"
                             "    printf(\"paired=%s\\n\", szName);\n"
                             "    printLibraries();\n"
                             "    return 0;\n"
                             "}\n";
const char c_szConsumerCxx[] = "#include <QuentaConfigurator.h>\n"
                               "int main() {\n"
                               "    std::string strName;\n"
                               "    QUENTA::QuentaConfiguratorC configurator;\n"
                               "    if (!configurator.getPairedDevice(strName)) return 1;\n"
                               "    printf(\"paired=%s\\n\", strName.c_str());\n"
                               "    printLibraries();\n"
                               "    return 0;\n"
                               "}\n";
// A program that loads a sanitized library is built with the same sanitizer,
// whose run time must come first.
#if defined(__SANITIZE_ADDRESS__)
#define QUENTA_CONSUMER_FLAGS "-fsanitize=address,undefined"
#elif defined(__SANITIZE_THREAD__)
#define QUENTA_CONSUMER_FLAGS "-fsanitize=thread"
#else
#define QUENTA_CONSUMER_FLAGS ""
#endif
const char c_szFlags[] =
    "export CFLAGS='" QUENTA_CONSUMER_FLAGS "' CXXFLAGS='" QUENTA_CONSUMER_FLAGS
    "' LDFLAGS='" QUENTA_CONSUMER_FLAGS "'; ";
const char c_szProject[] =
    "cmake_minimum_required(VERSION 3.20)\n"
    "project(consumer C CXX)\n"
    "find_package(Quenta 1 REQUIRED)\n"
    "add_executable(consumer_c main.c)\n"
    "add_executable(consumer_cxx main.cpp)\n"
    "target_link_libraries(consumer_c PRIVATE Quenta::quenta)\n"
    "target_link_libraries(consumer_cxx PRIVATE Quenta::quenta)\n"
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
        write(m_dir / "consumer" / "main.c", std::string(c_szPrintLibraries) + c_szConsumerC);
        write(m_dir / "consumer" / "main.cpp", std::string(c_szPrintLibraries) + c_szConsumerCxx);
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

    // How many public headers the compiler's dependency output names; each
    // must be the moved prefix's own.
    size_t movedHeaders(const std::string& strDependencies)
    {
        size_t unCount = 0;
        std::istringstream words(strDependencies);
        for (std::string strWord; words >> strWord;) {
            const fs::path path = strWord;
            if (path.filename() == "quenta.h" || path.filename() == "QuentaConfigurator.h") {
                std::error_code error;
                EXPECT_TRUE(fs::equivalent(path, m_prefix / "include" / path.filename(), error))
                    << path;
                ++unCount;
            }
        }
        return unCount;
    }

    // Runs the programs at once, each against a module of its own whose
    // pairing (named after the program; the library reads up to 15
    // characters) it must read back, with nothing but its run path to find
    // the library: the moved prefix's copy must be the only one it loads.
    void runConsumers(const std::vector<fs::path>& vecPrograms)
    {
        std::vector<std::unique_ptr<SimulatedModuleC>> vecModules;
        std::vector<std::unique_ptr<proctest::ProcessC>> vecProcesses;
        for (const fs::path& program : vecPrograms) {
            SimConfigS config;
            config.m_eInitialMode = SM_COMMAND;
            config.m_lineSettings.m_unBaudRate = 12;
            config.m_lineSettings.m_unFlowControl = 1;
            vecModules.emplace_back(new SimulatedModuleC(config));
            vecModules.back()->modifyState([&](SimStateS& state) {
                state.m_mapPeers[0] = {"02a0c7a1b2e1r", 130, 0, program.filename().string(), true};
                state.m_unNumberOfPeers = 1;
            });
            ASSERT_TRUE(vecModules.back()->start());
            vecProcesses.emplace_back(new proctest::ProcessC(
                {program.string()},
                {{"QUENTA_PORT_COM8", vecModules.back()->slavePath()}, {"LD_LIBRARY_PATH", ""}}));
        }
        for (size_t unAt = 0; unAt < vecPrograms.size(); ++unAt) {
            SCOPED_TRACE(vecPrograms[unAt].string());
            proctest::ProcessC& process = *vecProcesses[unAt];
            EXPECT_EQ(0, process.finish(30000)) << process.err();
            // The name, and a line for each mapping of the library: one file.
            std::vector<std::string> vecOther;
            std::set<std::string> setLibraries;
            for (const std::string& strLine : proctest::splitLines(process.out())) {
                if (strLine.rfind("library=", 0) == 0) {
                    setLibraries.insert(strLine.substr(8));
                } else {
                    vecOther.push_back(strLine);
                }
            }
            EXPECT_EQ(std::vector<std::string>{"paired=" + vecPrograms[unAt].filename().string()},
                      vecOther);
            EXPECT_FALSE(setLibraries.empty()) << process.out();
            for (const std::string& strLibrary : setLibraries) {
                std::error_code error;
                EXPECT_TRUE(fs::equivalent(strLibrary, m_prefix / "lib" / "libquenta.so.1", error))
                    << strLibrary;
            }
        }
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
    // The run path, too, as the file gives it.
    const fs::path consumer = m_dir / "consumer";
    const fs::path program = m_dir / "pkgconfig_c";
    ASSERT_EQ(0, shell(strEnv + c_szFlags + "cc $CFLAGS $LDFLAGS -MD -MF '" +
                       (consumer / "main.d").string() + "' '" + (consumer / "main.c").string() +
                       "' -o '" + program.string() + "' $(pkg-config --cflags --libs quenta)" +
                       " -Wl,-rpath,$(pkg-config --variable=libdir quenta) && cat '" +
                       (consumer / "main.d").string() + "'"));
    EXPECT_EQ(1u, movedHeaders(m_strOut)) << m_strOut;
    runConsumers({program});
}

TEST_F(PackageSlowTest, CMakePackageLeadsToTheMovedPrefix)
{
    const fs::path build = m_dir / "build";
    ASSERT_EQ(0, shell(c_szFlags + std::string("cmake -S '") + (m_dir / "consumer").string() +
                       "' -B '" + build.string() + "' -G Ninja -DCMAKE_PREFIX_PATH='" +
                       m_prefix.string() + "' >/dev/null && cmake --build '" + build.string() +
                       "' >/dev/null && ninja -C '" + build.string() + "' -t deps"));
    // quenta.h from the C program; both headers from the C++ one.
    EXPECT_EQ(3u, movedHeaders(m_strOut)) << m_strOut;
    std::ifstream library(build / "library.txt");
    std::string strLibrary;
    std::getline(library, strLibrary);
    EXPECT_TRUE(fs::equivalent(fs::canonical(strLibrary).parent_path(), m_prefix / "lib"))
        << strLibrary;
    // The build tree's run path leads to the moved prefix.
    runConsumers({build / "consumer_c", build / "consumer_cxx"});
}

// ------------------------------------------------------------ Debian packages
// The .deb files as cpack makes them from the build tree, read with dpkg-deb
// and never installed: fields, files, control files, and lintian's verdict.

struct DebPackageS
{
    std::string m_strName;
    std::string m_strSection;
    // Each file (or link) below the root exactly once; fnmatch patterns, @LIB@
    // for the configured library folder.
    std::vector<std::string> m_vecFiles;
};

const std::vector<DebPackageS> c_vecDebPackages = {
    {"libquenta1",
     "libs",
     {"usr/@LIB@/libquenta.so.1", "usr/@LIB@/libquenta.so.1.0.0",
      "usr/share/doc/libquenta1/copyright", "usr/share/doc/libquenta1/changelog.gz"}},
    {"libquenta-dev",
     "libdevel",
     {"usr/include/quenta.h", "usr/include/QuentaConfigurator.h", "usr/@LIB@/libquenta.so",
      "usr/@LIB@/cmake/Quenta/QuentaConfig.cmake",
      "usr/@LIB@/cmake/Quenta/QuentaConfigVersion.cmake",
      "usr/@LIB@/cmake/Quenta/QuentaTargets.cmake", "usr/@LIB@/cmake/Quenta/QuentaTargets-*.cmake",
      "usr/@LIB@/pkgconfig/quenta.pc", "usr/share/doc/libquenta-dev/copyright",
      "usr/share/doc/libquenta-dev/changelog.gz"}},
    {"quenta-tools",
     "utils",
     {"usr/bin/quenta", "usr/bin/quenta-sim", "usr/share/man/man1/quenta.1.gz",
      "usr/share/man/man1/quenta-sim.1.gz", "usr/share/bash-completion/completions/quenta",
      "usr/share/bash-completion/completions/quenta-sim", "usr/share/doc/quenta-tools/copyright",
      "usr/share/doc/quenta-tools/changelog.gz"}},
    {"python3-quenta",
     "python",
     {"usr/lib/python3/dist-packages/quenta/__init__.py",
      "usr/lib/python3/dist-packages/quenta/_native.cpython-*.so",
      "usr/lib/python3/dist-packages/quenta/_native.pyi",
      "usr/lib/python3/dist-packages/quenta/capi.py",
      "usr/lib/python3/dist-packages/quenta/errors.py",
      "usr/lib/python3/dist-packages/quenta/session.py",
      "usr/lib/python3/dist-packages/quenta/sim.py",
      "usr/lib/python3/dist-packages/quenta/pytest_plugin.py",
      "usr/lib/python3/dist-packages/quenta/py.typed",
      "usr/lib/python3/dist-packages/quenta-*.dist-info/METADATA",
      "usr/lib/python3/dist-packages/quenta-*.dist-info/entry_points.txt",
      "usr/lib/python3/dist-packages/quenta-*.dist-info/top_level.txt",
      "usr/lib/python3/dist-packages/quenta-*.dist-info/INSTALLER",
      "usr/share/doc/python3-quenta/copyright", "usr/share/doc/python3-quenta/changelog.gz"}},
};

std::string trimmed(const std::string& strText)
{
    const size_t unEnd = strText.find_last_not_of(" \t\n");
    return unEnd == std::string::npos ? "" : strText.substr(0, unEnd + 1);
}

// "a (>= 1), b | c, d" -> {"a (>= 1)", "b | c", "d"}
std::vector<std::string> dependencies(const std::string& strDepends)
{
    std::vector<std::string> vecEntries;
    std::istringstream stream(strDepends);
    for (std::string strEntry; std::getline(stream, strEntry, ',');) {
        const size_t unStart = strEntry.find_first_not_of(' ');
        if (unStart != std::string::npos) {
            vecEntries.push_back(trimmed(strEntry.substr(unStart)));
        }
    }
    return vecEntries;
}

bool dependsOn(const std::string& strDepends, const std::string& strPackagePrefix)
{
    for (const std::string& strEntry : dependencies(strDepends)) {
        if (strEntry.rfind(strPackagePrefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

class DebPackageSlowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "the packages are made from the plain build";
#endif
        char szDir[] = "/tmp/quenta-deb-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(szDir));
        m_dir = szDir;
        m_strVersion = cacheValue("CMAKE_PROJECT_VERSION");
        m_strLibDir = cacheValue("CMAKE_INSTALL_LIBDIR");
        ASSERT_FALSE(m_strVersion.empty());
        ASSERT_FALSE(m_strLibDir.empty());
        ASSERT_EQ(0, shell("cpack -G DEB --config '" + proctest::binaryDir() +
                           "/CPackConfig.cmake' -B '" + m_dir.string() + "' >/dev/null"));
        for (const fs::directory_entry& entry : fs::directory_iterator(m_dir)) {
            if (entry.path().extension() == ".deb") {
                ASSERT_EQ(0, shell("dpkg-deb -f '" + entry.path().string() + "' Package"));
                m_mapDebs[trimmed(m_strOut)] = entry.path();
            }
        }
        std::set<std::string> setNames;
        for (const DebPackageS& package : c_vecDebPackages) {
            setNames.insert(package.m_strName);
        }
        std::set<std::string> setMade;
        for (const auto& deb : m_mapDebs) {
            setMade.insert(deb.first);
        }
        ASSERT_EQ(setNames, setMade);
    }

    void TearDown() override
    {
        fs::remove_all(m_dir);
    }

    int shell(const std::string& strCommand, bool bExpectSuccess = true)
    {
        const proctest::RunS result =
            proctest::runProcess({"/bin/sh", "-c", strCommand}, {}, 180000);
        m_strOut = result.m_strOut;
        if (bExpectSuccess) {
            EXPECT_EQ(0, result.m_nExit) << strCommand << "\n" << result.m_strErr;
        }
        return result.m_nExit;
    }

    static std::string cacheValue(const std::string& strName)
    {
        std::ifstream cache(proctest::binaryDir() + "/CMakeCache.txt");
        for (std::string strLine; std::getline(cache, strLine);) {
            const size_t unColon = strLine.find(':');
            const size_t unEquals = strLine.find('=');
            if (unColon != std::string::npos && unEquals != std::string::npos &&
                strLine.compare(0, unColon, strName) == 0 && unColon == strName.size()) {
                return strLine.substr(unEquals + 1);
            }
        }
        return "";
    }

    std::string field(const std::string& strPackage, const std::string& strField)
    {
        shell("dpkg-deb -f '" + m_mapDebs[strPackage].string() + "' " + strField);
        return trimmed(m_strOut);
    }

    // The package's files and links, below its root, as "usr/...".
    std::set<std::string> files(const std::string& strPackage)
    {
        const fs::path root = extracted(strPackage);
        std::set<std::string> setFiles;
        if (!fs::is_directory(root)) {
            return setFiles;
        }
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_directory() || entry.is_symlink()) {
                setFiles.insert(entry.path().lexically_relative(root).string());
            }
        }
        return setFiles;
    }

    fs::path extracted(const std::string& strPackage)
    {
        return unpacked(strPackage, "root", "-x");
    }

    fs::path control(const std::string& strPackage)
    {
        return unpacked(strPackage, "control", "-e");
    }

    // The package's files (-x) or control files (-e), unpacked once.
    fs::path unpacked(const std::string& strPackage, const char* szWhat, const char* szOption)
    {
        const fs::path dir = m_dir / szWhat / strPackage;
        if (!fs::exists(dir)) {
            fs::create_directories(dir.parent_path());
            shell(std::string("dpkg-deb ") + szOption + " '" + m_mapDebs[strPackage].string() +
                  "' '" + dir.string() + "'");
        }
        return dir;
    }

    static std::string read(const fs::path& path)
    {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // ELF section and dynamic entries: what stripping and linking left.
    std::string readelf(const std::string& strOptions, const fs::path& path)
    {
        shell("readelf --wide " + strOptions + " '" + path.string() + "'");
        return m_strOut;
    }

    std::string libFile(const std::string& strName) const
    {
        return "usr/" + m_strLibDir + "/" + strName;
    }

    fs::path m_dir;
    std::string m_strVersion;
    std::string m_strLibDir;
    std::map<std::string, fs::path> m_mapDebs;
    std::string m_strOut;
};

TEST_F(DebPackageSlowTest, ControlFieldsAndFiles)
{
    ASSERT_EQ(0, shell("dpkg --print-architecture"));
    const std::string strArchitecture = trimmed(m_strOut);
    for (const DebPackageS& package : c_vecDebPackages) {
        SCOPED_TRACE(package.m_strName);
        EXPECT_EQ(package.m_strSection, field(package.m_strName, "Section"));
        EXPECT_EQ(strArchitecture, field(package.m_strName, "Architecture"));
        EXPECT_EQ(m_strVersion, field(package.m_strName, "Version"));
        EXPECT_EQ("quenta", field(package.m_strName, "Source"));
        // A synopsis and a long description below it.
        EXPECT_GE(proctest::splitLines(field(package.m_strName, "Description") + "\n").size(), 3u);
    }

    // The loader's and C++ run time's packages, as dpkg-shlibdeps names them.
    const std::string strLibDepends = field("libquenta1", "Depends");
    EXPECT_TRUE(dependsOn(strLibDepends, "libc6 ")) << strLibDepends;
    EXPECT_TRUE(dependsOn(strLibDepends, "libstdc++6 ")) << strLibDepends;
    EXPECT_FALSE(dependsOn(strLibDepends, "libquenta")) << strLibDepends;

    // The development files fit one build of the library only.
    const std::string strDevDepends = field("libquenta-dev", "Depends");
    const std::string strExact = "libquenta1 (= " + field("libquenta1", "Version") + ")";
    const std::vector<std::string> vecDev = dependencies(strDevDepends);
    EXPECT_NE(vecDev.end(), std::find(vecDev.begin(), vecDev.end(), strExact)) << strDevDepends;

    // The tools hold the core themselves; their completions need bash-completion.
    const std::string strToolDepends = field("quenta-tools", "Depends");
    EXPECT_TRUE(dependsOn(strToolDepends, "libc6 ")) << strToolDepends;
    EXPECT_FALSE(dependsOn(strToolDepends, "libquenta")) << strToolDepends;
    EXPECT_EQ("bash-completion", field("quenta-tools", "Recommends"));

    // The native module: the C run time as dpkg-shlibdeps names it, the one
    // Python it was built for, and for quenta.capi the library of this build.
    const std::string strPythonDepends = field("python3-quenta", "Depends");
    const std::string strPython = cacheValue("QUENTA_PYTHON_VERSION");
    EXPECT_TRUE(dependsOn(strPythonDepends, "libc6 ")) << strPythonDepends;
    for (const std::string& strEntry :
         {"python3 (>= " + strPython + "~)", std::string("python3 (<< "), strExact}) {
        EXPECT_TRUE(dependsOn(strPythonDepends, strEntry))
            << strEntry << " in " << strPythonDepends;
    }

    const fs::path dir = control("libquenta1");
    EXPECT_EQ("libquenta 1 libquenta1 (>= " + m_strVersion + ")\n", read(dir / "shlibs"));
    EXPECT_NE(std::string::npos, read(dir / "triggers").find("activate-noawait ldconfig"));

    // The symbols file against what the packaged library exports: a symbol
    // gained or lost without an entry fails the check (level 4).
    const fs::path root = extracted("libquenta1");
    const fs::path work = m_dir / "gensymbols";
    fs::create_directories(work / "debian");
    std::ofstream(work / "debian" / "control")
        << "Source: quenta\n\nPackage: libquenta1\nArchitecture: any\n";
    ASSERT_TRUE(fs::exists(dir / "symbols"));
    shell("cd '" + work.string() + "' && dpkg-gensymbols -plibquenta1 -P'" + root.string() +
          "' -v" + m_strVersion + " -I'" + (dir / "symbols").string() + "' -O'" +
          (work / "symbols").string() + "' -c4 -e'" +
          (root / libFile("libquenta.so." + m_strVersion)).string() + "' 2>&1");
    EXPECT_EQ("", trimmed(m_strOut));

    // Under /usr pkg-config sees its own system folders and leaves them out.
    const fs::path pkgconfig = extracted("libquenta-dev") / libFile("pkgconfig");
    shell("PKG_CONFIG_PATH='" + pkgconfig.string() +
          "' PKG_CONFIG_SYSROOT_DIR= pkg-config --cflags --libs quenta");
    EXPECT_EQ("-lquenta", trimmed(m_strOut));

    // Those control files are the library package's alone; set for all
    // packages they would make the others claim the library.
    for (const char* pszOther : {"libquenta-dev", "quenta-tools", "python3-quenta"}) {
        EXPECT_FALSE(fs::exists(control(pszOther) / "shlibs")) << pszOther;
        EXPECT_FALSE(fs::exists(control(pszOther) / "symbols")) << pszOther;
    }
}

TEST_F(DebPackageSlowTest, EachPackageHoldsExactlyItsFiles)
{
    std::set<std::string> setPackaged;
    for (const DebPackageS& package : c_vecDebPackages) {
        SCOPED_TRACE(package.m_strName);
        std::vector<std::string> vecPatterns;
        for (std::string strPattern : package.m_vecFiles) {
            const size_t unAt = strPattern.find("@LIB@");
            if (unAt != std::string::npos) {
                strPattern.replace(unAt, 5, m_strLibDir);
            }
            vecPatterns.push_back(strPattern);
        }
        const std::set<std::string> setFiles = files(package.m_strName);
        for (const std::string& strPattern : vecPatterns) {
            EXPECT_EQ(1, std::count_if(setFiles.begin(), setFiles.end(),
                                       [&](const std::string& strFile) {
                                           return fnmatch(strPattern.c_str(), strFile.c_str(),
                                                          FNM_PATHNAME) == 0;
                                       }))
                << "not once: " << strPattern;
        }
        for (const std::string& strFile : setFiles) {
            EXPECT_TRUE(std::any_of(vecPatterns.begin(), vecPatterns.end(),
                                    [&](const std::string& strPattern) {
                                        return fnmatch(strPattern.c_str(), strFile.c_str(),
                                                       FNM_PATHNAME) == 0;
                                    }))
                << "does not belong here: " << strFile;
            if (strFile.rfind("usr/share/doc/", 0) != 0) {
                setPackaged.insert(strFile);
            }
        }
    }

    // Everything a plain install gives is in one of the packages (an install
    // rule without a component would fall out of them), manual pages gzipped.
    const fs::path plain = m_dir / "plain";
    ASSERT_EQ(0, shell("cmake --install '" + proctest::binaryDir() + "' --prefix '" +
                       plain.string() + "' >/dev/null"));
    std::set<std::string> setInstalled;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(plain)) {
        if (!entry.is_directory() || entry.is_symlink()) {
            std::string strFile = "usr/" + entry.path().lexically_relative(plain).string();
            if (strFile.rfind("usr/share/man/", 0) == 0) {
                strFile += ".gz";
            }
            setInstalled.insert(strFile);
        }
    }
    EXPECT_EQ(setInstalled, setPackaged);
}

TEST_F(DebPackageSlowTest, LinksStrippingAndCompression)
{
    const fs::path lib = extracted("libquenta1");
    const fs::path dev = extracted("libquenta-dev");
    const fs::path tools = extracted("quenta-tools");
    const std::string strReal = "libquenta.so." + m_strVersion;

    // The loader finds the library by its SONAME link; the linker by the
    // development name, which leads to that link in the other package.
    EXPECT_NE(std::string::npos,
              readelf("-d", lib / libFile(strReal)).find("Library soname: [libquenta.so.1]"));
    ASSERT_TRUE(fs::is_symlink(lib / libFile("libquenta.so.1")));
    EXPECT_EQ(strReal, fs::read_symlink(lib / libFile("libquenta.so.1")).string());
    ASSERT_TRUE(fs::is_symlink(dev / libFile("libquenta.so")));
    EXPECT_EQ("libquenta.so.1", fs::read_symlink(dev / libFile("libquenta.so")).string());

    std::vector<fs::path> vecBinaries = {lib / libFile(strReal), tools / "usr/bin/quenta",
                                         tools / "usr/bin/quenta-sim"};
    for (const fs::directory_entry& entry : fs::directory_iterator(
             extracted("python3-quenta") / "usr/lib/python3/dist-packages/quenta")) {
        if (entry.path().extension() == ".so") {
            vecBinaries.push_back(entry.path());
        }
    }
    ASSERT_EQ(4u, vecBinaries.size());
    for (const fs::path& binary : vecBinaries) {
        SCOPED_TRACE(binary.string());
        const std::string strSections = readelf("-S", binary);
        ASSERT_NE(std::string::npos, strSections.find(".text")) << strSections;
        EXPECT_EQ(std::string::npos, strSections.find(".symtab")) << "symbol table left";
        EXPECT_EQ(std::string::npos, strSections.find(".debug_")) << "debug sections left";
    }
    for (const char* pszTool : {"usr/bin/quenta", "usr/bin/quenta-sim"}) {
        EXPECT_EQ(std::string::npos, readelf("-d", tools / pszTool).find("libquenta")) << pszTool;
    }

    // Manual pages and changelogs really gzipped; each changelog's newest
    // entry is this version.
    for (const fs::path& page :
         {tools / "usr/share/man/man1/quenta.1.gz", tools / "usr/share/man/man1/quenta-sim.1.gz"}) {
        shell("gzip -t '" + page.string() + "'");
    }
    for (const DebPackageS& package : c_vecDebPackages) {
        const fs::path changelog =
            extracted(package.m_strName) / "usr/share/doc" / package.m_strName / "changelog.gz";
        shell("gzip -cd '" + changelog.string() + "' | dpkg-parsechangelog -l - -S Version");
        EXPECT_EQ(m_strVersion, trimmed(m_strOut)) << package.m_strName;
    }
}

TEST_F(DebPackageSlowTest, LintianFindsNoError)
{
    if (shell("command -v lintian >/dev/null", false) != 0) {
        GTEST_SKIP() << "lintian is not installed (scripts/bootstrap installs it)";
    }
    std::string strDebs;
    for (const auto& deb : m_mapDebs) {
        strDebs += " '" + deb.second.string() + "'";
    }
    // The warnings left are explained in packaging/debian.cmake; errors fail.
    const int nExit =
        shell("lintian --fail-on error --tag-display-limit 0" + strDebs + " 2>&1", false);
    EXPECT_EQ(0, nExit) << m_strOut;
    for (const std::string& strLine : proctest::splitLines(m_strOut)) {
        EXPECT_NE(0u, strLine.rfind("E: ", 0)) << strLine;
    }
}

} // namespace
