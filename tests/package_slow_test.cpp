// The installed package as a consumer meets it: installed to one folder and
// then moved to another, both the CMake package and the pkg-config file must
// lead the compiler to the moved copy's header and library, never to another,
// and the loader to that library (what the programs do with it is the C
// functions' and the configurator's to show). And the Debian packages that
// cpack makes of the same build tree, for what lintian does not check itself.
#include "ToolTestSupport.h"

#include <algorithm>
#include <filesystem>
#include <fnmatch.h>
#include <map>
#include <set>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;
using tooltest::contains;

namespace {

// A call of each interface, for the compiler and the linker.
const char c_szConsumerC[] = "#include <quenta.h>\nint main(void) { uint32_t ulSize = 0;\n"
                             "return QUENTA_getPairedDevice(0, &ulSize); }\n";
const char c_szConsumerCxx[] = "#include <QuentaConfigurator.h>\nint main() { std::string str;\n"
                               "return QUENTA::QuentaConfiguratorC().getPairedDevice(str); }\n";
const char c_szProject[] =
    "cmake_minimum_required(VERSION 3.20)\n"
    "project(consumer C CXX)\n"
    "find_package(Quenta 1 REQUIRED)\n"
    "link_libraries(Quenta::quenta)\n"
    "add_executable(consumer_c main.c)\nadd_executable(consumer_cxx main.cpp)\n"
    "file(GENERATE OUTPUT library.txt CONTENT $<TARGET_FILE:Quenta::quenta>)\n";

class PackageSlowTest : public ::testing::Test
{
protected:
    // Its standard output, without the line end; a failure fails the case.
    std::string shell(const std::string& strCommand)
    {
        const proctest::RunS result =
            proctest::runProcess({"/bin/sh", "-c", strCommand}, {}, 180000);
        EXPECT_EQ(0, result.m_nExit) << strCommand << "\n" << result.m_strOut << result.m_strErr;
        const size_t unEnd = result.m_strOut.find_last_not_of(" \n");
        return unEnd == std::string::npos ? "" : result.m_strOut.substr(0, unEnd + 1);
    }

    void install(const fs::path& prefix)
    {
        shell("cmake --install '" + proctest::binaryDir() + "' --prefix '" + prefix.string() +
              "' >/dev/null");
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

    const tooltest::TempDirC m_scratch;
    const fs::path m_dir = m_scratch.path();
    fs::path m_prefix;
};

TEST_F(PackageSlowTest, AMovedInstallLeadsCMakeAndPkgConfigConsumersToItself)
{
    install(m_dir / "installed");
    // Moved after installing: nothing may point back to where it was put.
    m_prefix = m_dir / "moved";
    fs::rename(m_dir / "installed", m_prefix);
    m_scratch.file("main.c", c_szConsumerC);
    m_scratch.file("main.cpp", c_szConsumerCxx);
    m_scratch.file("CMakeLists.txt", c_szProject);
    const std::string strIn = "cd '" + m_dir.string() + "' && export PKG_CONFIG_PATH='" +
                              (m_prefix / "lib" / "pkgconfig").string() + "' && ";
    const std::string strL = shell(strIn + "pkg-config --libs-only-L quenta");
    ASSERT_EQ(0u, strL.find("-L")) << strL;
    EXPECT_TRUE(fs::equivalent(strL.substr(2), m_prefix / "lib")) << strL;
    // The run path, too, as the file gives it.
    std::string strDeps = shell(strIn + "cc -MD -MF main.d main.c -o pkgconfig_c $(pkg-config "
                                        "--cflags --libs quenta) -Wl,-rpath,$(pkg-config "
                                        "--variable=libdir quenta) && cat main.d");
    EXPECT_EQ(1u, movedHeaders(strDeps)) << strDeps;
    strDeps =
        shell(strIn + "cmake -S . -B build -G Ninja -DCMAKE_PREFIX_PATH=\"$PWD/moved\" "
                      ">/dev/null && cmake --build build >/dev/null && ninja -C build -t deps");
    // quenta.h from the C program; both headers from the C++ one.
    EXPECT_EQ(3u, movedHeaders(strDeps)) << strDeps;
    const std::string strLibrary = tooltest::readFile(m_dir / "build" / "library.txt");
    EXPECT_TRUE(fs::equivalent(fs::canonical(strLibrary).parent_path(), m_prefix / "lib"))
        << strLibrary;

    // The loader's choice with nothing but the run path: the moved copy.
    for (const char* szProgram : {"pkgconfig_c", "build/consumer_c", "build/consumer_cxx"}) {
        const std::string strLoaded = shell(strIn +
                                            "env -u LD_LIBRARY_PATH "
                                            "LD_TRACE_LOADED_OBJECTS=1 ./" +
                                            szProgram + " | grep libquenta");
        const size_t unPath = strLoaded.find("=> ") + 3;
        EXPECT_EQ(std::string::npos, strLoaded.find('\n')) << strLoaded;
        std::error_code error;
        EXPECT_TRUE(fs::equivalent(strLoaded.substr(unPath, strLoaded.find(" (") - unPath),
                                   m_prefix / "lib" / "libquenta.so.1", error))
            << strLoaded;
    }
}

// ------------------------------------------------------------ Debian packages
// The .deb files as cpack makes them from the build tree, read with dpkg-deb
// and never installed. Lintian checks stripping, compression, the ldconfig
// trigger, copyright files and descriptions; this checks what it cannot know.

// Each package's files (and links) below its root, each exactly once beside
// the copyright and changelog: fnmatch patterns, @LIB@ for the configured
// library folder, @PY@ for Python's.
const struct
{
    const char* szName;
    const char* szSection;
    const char* szFiles;
} c_aDebPackages[] = {
    {"libquenta1", "libs", "@LIB@/libquenta.so.1 @LIB@/libquenta.so.1.0.0"},
    {"libquenta-dev", "libdevel",
     "usr/include/quenta.h usr/include/QuentaConfigurator.h @LIB@/libquenta.so "
     "@LIB@/cmake/Quenta/QuentaConfig.cmake @LIB@/cmake/Quenta/QuentaConfigVersion.cmake "
     "@LIB@/cmake/Quenta/QuentaTargets.cmake @LIB@/cmake/Quenta/QuentaTargets-*.cmake "
     "@LIB@/pkgconfig/quenta.pc"},
    {"quenta-tools", "utils",
     "usr/bin/quenta usr/bin/quenta-sim usr/share/man/man1/quenta.1.gz "
     "usr/share/man/man1/quenta-sim.1.gz usr/share/bash-completion/completions/quenta "
     "usr/share/bash-completion/completions/quenta-sim"},
    {"python3-quenta", "python",
     "@PY@/quenta/__init__.py @PY@/quenta/_native.cpython-*.so @PY@/quenta/_native.pyi "
     "@PY@/quenta/capi.py @PY@/quenta/errors.py @PY@/quenta/session.py @PY@/quenta/sim.py "
     "@PY@/quenta/pytest_plugin.py @PY@/quenta/py.typed @PY@/quenta-*.dist-info/METADATA "
     "@PY@/quenta-*.dist-info/entry_points.txt @PY@/quenta-*.dist-info/top_level.txt "
     "@PY@/quenta-*.dist-info/INSTALLER"},
};

std::string cacheValue(const std::string& strName)
{
    const std::string strCache = tooltest::readFile(proctest::binaryDir() + "/CMakeCache.txt");
    const size_t unAt = strCache.find('=', strCache.find("\n" + strName + ":"));
    return unAt == std::string::npos
               ? ""
               : strCache.substr(unAt + 1, strCache.find('\n', unAt) - unAt - 1);
}

// The files and links below a folder, as "usr/...".
std::set<std::string> filesBelow(const fs::path& root, const std::string& strPrefix = "")
{
    std::set<std::string> setFiles;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory() || entry.is_symlink()) {
            setFiles.insert(strPrefix + entry.path().lexically_relative(root).string());
        }
    }
    return setFiles;
}

bool matchesOne(const std::vector<std::string>& vecPatterns, const std::string& strFile)
{
    return std::any_of(vecPatterns.begin(), vecPatterns.end(), [&](const std::string& strPattern) {
        return fnmatch(strPattern.c_str(), strFile.c_str(), FNM_PATHNAME) == 0;
    });
}

TEST_F(PackageSlowTest, DebianPackagesHoldTheirFieldsFilesAndLinks)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the packages are made from the plain build";
#endif
    const std::string strVersion = cacheValue("CMAKE_PROJECT_VERSION");
    const std::string strLibDir = cacheValue("CMAKE_INSTALL_LIBDIR");
    ASSERT_FALSE(strVersion.empty() || strLibDir.empty());
    shell("cpack -G DEB --config '" + proctest::binaryDir() + "/CPackConfig.cmake' -B '" +
          m_dir.string() + "' >/dev/null");
    std::map<std::string, fs::path> mapDebs;
    std::string strDebs;
    for (const fs::directory_entry& entry : fs::directory_iterator(m_dir)) {
        if (entry.path().extension() == ".deb") {
            mapDebs[shell("dpkg-deb -f '" + entry.path().string() + "' Package")] = entry.path();
            strDebs += " '" + entry.path().string() + "'";
        }
    }
    ASSERT_EQ(std::size(c_aDebPackages), mapDebs.size()) << strDebs;
    const auto field = [&](const std::string& strPackage, const std::string& strField) {
        return shell("dpkg-deb -f '" + mapDebs[strPackage].string() + "' " + strField);
    };
    const auto unpacked = [&](const std::string& strPackage, const char* szOption) {
        const fs::path dir = m_dir / szOption / strPackage;
        if (!fs::exists(dir)) {
            shell(std::string("mkdir -p '") + dir.string() + "' && dpkg-deb " + szOption + " '" +
                  mapDebs[strPackage].string() + "' '" + dir.string() + "'");
        }
        return dir;
    };
    const auto libFile = [&](const std::string& strName) {
        return "usr/" + strLibDir + "/" + strName;
    };

    // Each package's fields, and its files exactly; together what a plain
    // install gives (an install rule without a component would fall out of
    // them), manual pages gzipped.
    const std::string strArchitecture = shell("dpkg --print-architecture");
    std::set<std::string> setPackaged;
    for (const auto& package : c_aDebPackages) {
        const std::string strName = package.szName;
        SCOPED_TRACE(strName);
        EXPECT_EQ(package.szSection, field(strName, "Section"));
        EXPECT_EQ(strArchitecture + strVersion + "quenta", field(strName, "Architecture") +
                                                               field(strName, "Version") +
                                                               field(strName, "Source"));
        std::vector<std::string> vecPatterns = {"usr/share/doc/" + strName + "/copyright",
                                                "usr/share/doc/" + strName + "/changelog.gz"};
        std::istringstream files(package.szFiles);
        for (std::string strPattern; files >> strPattern;) {
            if (strPattern[0] == '@') {
                strPattern.replace(0, strPattern.find('/'),
                                   strPattern[1] == 'L' ? "usr/" + strLibDir
                                                        : "usr/lib/python3/dist-packages");
            }
            vecPatterns.push_back(strPattern);
        }
        const fs::path root = unpacked(strName, "-x");
        const std::set<std::string> setFiles = filesBelow(root);
        for (const std::string& strPattern : vecPatterns) {
            EXPECT_EQ(1, std::count_if(setFiles.begin(), setFiles.end(),
                                       [&](const auto& strFile) {
                                           return matchesOne({strPattern}, strFile);
                                       }))
                << "not once: " << strPattern;
        }
        for (const std::string& strFile : setFiles) {
            EXPECT_TRUE(matchesOne(vecPatterns, strFile)) << "does not belong here: " << strFile;
            if (strFile.rfind("usr/share/doc/", 0) != 0) {
                setPackaged.insert(strFile);
            }
        }
        // The changelog's newest entry is this version.
        EXPECT_EQ(strVersion, shell("gzip -cd '" + (root / "usr/share/doc" / strName).string() +
                                    "/changelog.gz' | dpkg-parsechangelog -l - -S Version"));
        // Only the library's package may claim the library.
        const fs::path control = unpacked(strName, "-e");
        EXPECT_EQ(strName == "libquenta1", fs::exists(control / "shlibs"));
        EXPECT_EQ(strName == "libquenta1", fs::exists(control / "symbols"));
    }
    install(m_dir / "plain");
    std::set<std::string> setInstalled;
    for (std::string strFile : filesBelow(m_dir / "plain", "usr/")) {
        setInstalled.insert(strFile.rfind("usr/share/man/", 0) == 0 ? strFile + ".gz" : strFile);
    }
    EXPECT_EQ(setInstalled, setPackaged);

    // The loader's and C++ run time's packages, as dpkg-shlibdeps names them;
    // the development files fit one build of the library only; the tools
    // hold the core themselves; the native module needs the C run time, the
    // one Python it was built for and, for quenta.capi, this build's library.
    const std::string strExact = "libquenta1 (= " + strVersion + ")";
    const std::string strPython = cacheValue("QUENTA_PYTHON_VERSION");
    // Entries a package depends on; "!" first, one it must not.
    const std::pair<const char*, std::vector<std::string>> c_aDepends[] = {
        {"libquenta1", {"libc6 ", "libstdc++6 ", "!libquenta"}},
        {"libquenta-dev", {strExact}},
        {"quenta-tools", {"libc6 ", "!libquenta"}},
        {"python3-quenta", {"libc6 ", "python3 (>= " + strPython + "~)", "python3 (<< ", strExact}},
    };
    for (const auto& depends : c_aDepends) {
        const std::string strDepends = field(depends.first, "Depends");
        for (const std::string& strEntry : depends.second) {
            const bool bNot = strEntry[0] == '!';
            // Whether an entry of "a (>= 1), b | c, d" starts so.
            EXPECT_NE(bNot, contains(", " + strDepends, ", " + strEntry.substr(bNot)))
                << strEntry << " in " << strDepends;
        }
    }
    EXPECT_EQ("bash-completion", field("quenta-tools", "Recommends"));

    // The symbols file against what the packaged library exports: a symbol
    // gained or lost without an entry fails the check (level 4).
    const fs::path lib = unpacked("libquenta1", "-x");
    const fs::path control = unpacked("libquenta1", "-e");
    EXPECT_EQ("libquenta 1 libquenta1 (>= " + strVersion + ")\n",
              tooltest::readFile(control / "shlibs"));
    m_scratch.file("gensymbols/debian/control",
                   "Source: quenta\n\nPackage: libquenta1\nArchitecture: any\n");
    EXPECT_EQ("", shell("cd '" + (m_dir / "gensymbols").string() +
                        "' && dpkg-gensymbols -plibquenta1 -P'" + lib.string() + "' -v" +
                        strVersion + " -I'" + (control / "symbols").string() + "' -O'" +
                        (m_dir / "gensymbols" / "symbols").string() + "' -c4 -e'" +
                        (lib / libFile("libquenta.so." + strVersion)).string() + "' 2>&1"));

    // The loader finds the library by its SONAME link; the linker by the
    // development name, which leads to that link in the other package.
    const fs::path dev = unpacked("libquenta-dev", "-x");
    EXPECT_EQ("libquenta.so." + strVersion,
              fs::read_symlink(lib / libFile("libquenta.so.1")).string());
    EXPECT_EQ("libquenta.so.1", fs::read_symlink(dev / libFile("libquenta.so")).string());
    // Under /usr pkg-config sees its own system folders and leaves them out.
    EXPECT_EQ("-lquenta", shell("PKG_CONFIG_PATH='" + (dev / libFile("pkgconfig")).string() +
                                "' PKG_CONFIG_SYSROOT_DIR= pkg-config --cflags --libs quenta"));

    // The warnings left are explained in packaging/debian.cmake; errors fail.
    if (proctest::runProcess({"/bin/sh", "-c", "command -v lintian"}).m_nExit != 0) {
        GTEST_SKIP() << "lintian is not installed (scripts/bootstrap installs it)";
    }
    shell("lintian --fail-on error --tag-display-limit 0" + strDebs + " 2>&1");
}

} // namespace
