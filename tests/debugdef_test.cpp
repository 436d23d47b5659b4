// The debug definition file: route lines, the loader on real files, and the
// registry of handlers with the default file.
#include "LogFileSupport.h"

#include "Nox_Dbg/NOX_DBG_LogFile.h"
#include "Nox_Dbg/NOX_DBG_LogFramework.h"
#include "TRC_CFG_TaviDeviceControllerImpl.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <string>

using namespace NOX::DBG;

namespace {

// The default definition file is found once per process, so the storage
// root is set once for the whole binary.
fs::path s_root;

class StorageRootEnvironmentC : public ::testing::Environment
{
public:
    void SetUp() override
    {
        s_root = testenv::makeTempDir("quenta-debugdef-");
        ASSERT_FALSE(s_root.empty());
        testenv::setEnv("QUENTA_STORAGE_ROOT", testenv::utf8(s_root));
    }
    void TearDown() override
    {
        std::error_code error;
        fs::remove_all(s_root, error);
    }
};
::testing::Environment* const s_pEnvironment =
    ::testing::AddGlobalTestEnvironment(new StorageRootEnvironmentC);

// The threshold a log of that name resolves to now.
int32_t thresholdOf(const std::string& strLogName)
{
    DbgLogFileC log(strLogName.c_str());
    log.isEnabled(LVL_ALL);
    return log.getThreshold();
}

class DebugDefTest : public ::testing::Test
{
protected:
    void TearDown() override { mgr().removeAll(); }
};

} // namespace

TEST_F(DebugDefTest, RouteLinesFollowTheGrammar)
{
    const int32_t NO = -1;
    // szLog is the log whose threshold shows the route; for "no route" cases
    // the key, which must stay silent. nFiles is 0 for a consumer that is not
    // a file.
    struct CaseS
    {
        const char* szLine;
        const char* szLog;
        int32_t nLevel;
        const char* szConsumer = "";
        uint32_t unHdr = 0;
        int32_t nFiles = 0;
        uint32_t unAge = 0;
    } aCases[] = {
        {"LOGT SerialPortC INFO printf", "SerialPortC", 4, "printf", 1, 0, 0},
        {"LOGT * WARN trace.txt 3 1", "AnyLog", 5, "trace.txt", 1, 3, 1000},
        {"LOG SystemErrorLogger ALL SystemErrorLogger", "SystemErrorLogger", 0, "SystemErrorLogger",
         1, 2, 0},
        {"LOGS nmea FINE nmea.txt", "nmea", 3, "nmea.txt", 2, 1, 0},
        {"LOGX key printf", "key", NO},
        {"LOG", "key", NO},
        {"LOG key", "key", NO},
        {"LOG key printf", "key", 0, "printf", 0, 0, 0},
        {"LOGT key INFOFILE.txt", "key", NO},
        {"LOG key \"my file.txt\"", "key", 0, "my file.txt", 0, 1, 0},
        {"LOG key INFO file.txt x", "key", NO},
        {"LOG\tkey\t\tERROR\tprintf\r\n", "key", 6, "printf", 0, 0, 0},
        {"LOG key INFO f20.log 25 3\r\n", "key", 4, "f20.log", 0, 20, 3000},
        {"LOG key INFO /sensorboard/", "key", NO},
    };
    for (const CaseS& c : aCases) {
        SCOPED_TRACE(c.szLine);
        EXPECT_EQ(c.nLevel != NO, processRouteLine(c.szLine));
        EXPECT_EQ(c.nLevel == NO ? LVL_NONE : c.nLevel, thresholdOf(c.szLog));
        EXPECT_EQ(c.nLevel == NO ? 0 : 1, mgr().componentCount());
        if (c.nLevel != NO) {
            DbgLogConsumerC* pConsumer = childConsumer(c.szConsumer);
            ASSERT_NE(nullptr, pConsumer);
            EXPECT_EQ(c.unHdr, pConsumer->getHeaderMode());
            auto* pFile = dynamic_cast<DbgLogFileConsumerC*>(pConsumer);
            ASSERT_EQ(c.nFiles != 0, pFile != nullptr);
            if (pFile != nullptr) {
                EXPECT_EQ(c.nFiles, pFile->getNumberOfFiles());
                EXPECT_EQ(c.unAge, pFile->getMaxAge());
            }
        }
        mgr().removeAll();
    }
}

TEST_F(DebugDefTest, LoaderReportsAMissingFileAndSkipsCommentedAndIndentedLines)
{
    EXPECT_EQ(TRC::CFG::RC_FAILED,
              TRC::CFG::loadDebugConfiguration(testenv::utf8(s_root / "missing.def").c_str()));
    EXPECT_EQ(0, mgr().componentCount());

    const fs::path path = s_root / "loader" / "wire.def";
    // The last line needs no line end.
    writeFile(path, "# LOG c1 INFO printf\n\tLOG c2 INFO printf\n\r\n"
                    "LOG TaviDeviceControllerImplC ALL printf\r\n"
                    "LOG SystemErrorLogger ALL SystemErrorLogger");
    EXPECT_EQ(TRC::CFG::RC_OK, TRC::CFG::loadDebugConfiguration(testenv::utf8(path).c_str()));
    EXPECT_EQ(LVL_ALL, thresholdOf("TaviDeviceControllerImplC"));
    EXPECT_TRUE(mgr().getSystemErrorLogger()->isEnabled(LVL_ALL));
    EXPECT_EQ(LVL_NONE, thresholdOf("c1"));
    EXPECT_EQ(LVL_NONE, thresholdOf("c2"));
}

#if !defined(_WIN32)
// FIFOs, devices, /proc, a drive letter that means nothing and the debug
// output: POSIX only.
TEST_F(DebugDefTest, ConsumersThatAreNoWritableFileAreRefusedWithTheLineAndReason)
{
    const fs::path dir = s_root / "refused";
    fs::create_directories(dir / "folder");
    fs::create_directories(dir / "cwd");
    const fs::path fifo = dir / "fifo.log";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, ::mkfifo((dir / "set_02.log").c_str(), 0600));
    writeFile(dir / "plain", "a file where a directory should be\n");
    const struct
    {
        std::string strConsumer;
        std::string strCulprit;
        const char* szReason;
    } aCases[] = {
        {fifo.string(), fifo.string(), "Is a FIFO, not a regular file"},
        {(dir / "set.log").string() + " 3", (dir / "set_02.log").string(),
         "Is a FIFO, not a regular file"},
        {(dir / "folder").string(), (dir / "folder").string(), "Is a directory"},
        {"/dev/null", "/dev/null", "Is a device, not a regular file"},
        {(dir / "plain" / "x.log").string(), (dir / "plain" / "x.log").string(), "Not a directory"},
        {"/proc/quenta.log", "/proc/quenta.log", "No such file or directory"},
        // Must not land in the current directory either.
        {"X:\\logs\\w.txt", "X:/logs/w.txt", "drive letters mean nothing on this host"},
    };
    const fs::path path = dir / "refused.def";
    std::string strFile = "# each line is refused but the last\n";
    std::string strExpected;
    for (const auto& c : aCases) {
        strFile += "LOG key INFO " + c.strConsumer + "\n";
        strExpected += path.string() + ":" + std::to_string(&c - aCases + 2) +
                       ": log route refused: " + c.strCulprit + ": " + c.szReason + "\n";
    }
    writeFile(path, strFile + "LOG other WARN printf\n");

    const fs::path previous = fs::current_path();
    fs::current_path(dir / "cwd");
    uint32_t unResult = 1;
    testenv::captureDebugOutput();
    // Opening a FIFO for writing would wait for a reader that never comes.
    EXPECT_TRUE(returnsWithoutBlocking(fifo, [&] { unResult = loadLogRoutes(path.c_str()); }));
    EXPECT_EQ(strExpected, testenv::capturedDebugOutput());
    fs::current_path(previous);
    EXPECT_EQ(0u, unResult);
    EXPECT_EQ(LVL_NONE, thresholdOf("key"));
    EXPECT_EQ(LVL_WARN, thresholdOf("other"));
    EXPECT_EQ(1, mgr().componentCount());
    EXPECT_TRUE(fs::is_empty(dir / "cwd"));

    // Neither a FIFO nor a directory is read as a definition file.
    EXPECT_TRUE(returnsWithoutBlocking(fifo, [&] { unResult = loadLogRoutes(fifo.c_str()); }));
    EXPECT_EQ(NOX::RC_FAILED, unResult);
    EXPECT_EQ(NOX::RC_FAILED, loadLogRoutes(dir.c_str()));
}

namespace {

size_t countOf(const std::string& strText, const std::string& strPart)
{
    size_t unCount = 0;
    for (size_t nPos = strText.find(strPart); nPos != std::string::npos;
         nPos = strText.find(strPart, nPos + 1)) {
        ++unCount;
    }
    return unCount;
}

} // namespace

TEST_F(DebugDefTest, AStorageRootThatCannotBeWrittenIsReportedOncePerRoot)
{
    writeFile(s_root / "root-file", "not a directory\n");
    std::vector<std::string> vecRoots = {(s_root / "root-file").string(), "/proc"};
    // Root ignores a directory's permissions.
    if (::geteuid() != 0) {
        fs::create_directories(s_root / "read-only");
        fs::permissions(s_root / "read-only", fs::perms::owner_read | fs::perms::owner_exec);
        vecRoots.push_back((s_root / "read-only").string());
    }
    const std::string strPath = (s_root / "loader" / "relative.def").string();
    writeFile(strPath, "LOG a INFO a.log\nLOG b INFO b.log\nLOG e ALL SystemErrorLogger\n");
    for (const std::string& strRoot : vecRoots) {
        SCOPED_TRACE(strRoot);
        testenv::setEnv("QUENTA_STORAGE_ROOT", strRoot);
        testenv::captureDebugOutput();
        EXPECT_EQ(0u, loadLogRoutes(strPath.c_str()));
        EXPECT_EQ(0u, loadLogRoutes(strPath.c_str()));
        const std::string strErr = testenv::capturedDebugOutput();
        EXPECT_EQ(1u, countOf(strErr, "storage root " + strRoot + " cannot be written ("))
            << strErr;
        EXPECT_EQ(2u, countOf(strErr, strPath + ":1: log route refused: " + strRoot)) << strErr;
        EXPECT_EQ(LVL_NONE, thresholdOf("a"));
        EXPECT_EQ(LVL_ALL, thresholdOf("e")) << "the error log is no path of its own";
        mgr().removeAll();
    }
    testenv::setEnv("QUENTA_STORAGE_ROOT", s_root.string());
    testenv::captureDebugOutput();
    EXPECT_EQ(0u, loadLogRoutes(strPath.c_str()));
    EXPECT_EQ("", testenv::capturedDebugOutput());
    EXPECT_EQ(LVL_INFO, thresholdOf("a"));
}
#endif

namespace {

// Answers the one debug key it was made for.
class KeyHandlerC : public DbgConfigI
{
public:
    explicit KeyHandlerC(std::wstring strKey) : m_strKey(std::move(strKey))
    {
        DbgConfiguratorRegistryC::getInstance()->addHandler(this);
    }
    ~KeyHandlerC() { DbgConfiguratorRegistryC::getInstance()->removeHandler(this); }
    bool configure(const char*, int32_t) override { return false; }
    void notify(uint32_t) override {}
    bool handleKey(const std::wstring& strKey, int32_t, std::wstring& strReply) override
    {
        strReply = L"known";
        return strKey == m_strKey;
    }

private:
    std::wstring m_strKey;
};

} // namespace

TEST(DebugConfigRegistryTest, HandleKeyRepliesWithTheKeyOrTheMissingHandler)
{
    KeyHandlerC other(L"radio-x");
    KeyHandlerC gps(L"gps");
    DbgConfiguratorRegistryC* pRegistry = DbgConfiguratorRegistryC::getInstance();
    std::wstring strReply;
    EXPECT_TRUE(pRegistry->handleKey(L"gps", 3, strReply));
    EXPECT_EQ(L"gps:known", strReply);
    EXPECT_FALSE(pRegistry->handleKey(L"radio", 3, strReply));
    EXPECT_EQ(L"No handler found for debug key [radio]", strReply);
}

TEST(DebugConfigRegistryTest, DefaultFileFindLineCodesAndAMissingFile)
{
    const fs::path path = s_root / "Dbg" / "debug.def";
    writeFile(path, "# GPS commented\n GPS indented\nGPS rate 5\r\nGPS rate 9\nRADIO on");
    DbgConfiguratorRegistryC* pRegistry = DbgConfiguratorRegistryC::getInstance();
    EXPECT_EQ(testenv::utf8(s_root) + "\\Dbg\\debug.def", pRegistry->getDefaultFilePath());
    std::string strLine;
    EXPECT_EQ(0u, pRegistry->findLine("GPS", strLine));
    EXPECT_EQ("GPS rate 5\r\n", strLine);
    EXPECT_EQ(0u, pRegistry->findLine("RADIO", strLine));
    EXPECT_EQ("RADIO on", strLine);
    EXPECT_EQ(0x0200001Au, pRegistry->findLine("NONE", strLine));

    fs::remove(path);
    EXPECT_EQ(0x0200001Bu, pRegistry->findLine("GPS", strLine));
}
