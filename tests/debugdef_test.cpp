// The debug definition file: route lines, the loader on real files, and the
// registry of debug-key handlers.
#include "LogFileSupport.h"

#include "Nox_Dbg/NOX_DBG_LogFile.h"
#include "Nox_Dbg/NOX_DBG_LogFramework.h"
#include "Nox_Err/NOX_ERR_Codes.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <string>

using namespace NOX::DBG;

namespace {

// The threshold a log of that name resolves to now.
int32_t thresholdOf(const std::string& strLogName)
{
    DbgLogFileC log(strLogName.c_str());
    log.isEnabled(LVL_ALL);
    return log.getThreshold();
}

using DebugDefTest = StorageRootTest;

// The manager's consumers by name and header mode, a file's with its count
// and age limit.
std::string consumers()
{
    std::string strAll;
    for (auto* p = mgr().firstComponent(); p != nullptr; p = mgr().nextComponent(p)) {
        auto* pConsumer = dynamic_cast<DbgLogConsumerC*>(p);
        strAll += (strAll.empty() ? "" : ", ") + pConsumer->getName() + " " +
                  std::to_string(pConsumer->getHeaderMode());
        if (auto* pFile = dynamic_cast<DbgLogFileConsumerC*>(p)) {
            strAll += " " + std::to_string(pFile->getNumberOfFiles()) + " " +
                      std::to_string(pFile->getMaxAge());
        }
    }
    return strAll;
}

} // namespace

TEST_F(DebugDefTest, RouteLinesFollowTheGrammar)
{
    const int32_t NO = -1;
    // szLog is the log whose threshold shows the route; for "no route" cases
    // the key, which must stay silent.
    const struct
    {
        const char *szLine, *szLog;
        int32_t nLevel;
        const char* szConsumer = "";
    } aCases[] = {
        {"LOGT SerialPortC INFO printf", "SerialPortC", 4, "printf 1"},
        {"LOGT * WARN trace.txt 3 1", "AnyLog", 5, "trace.txt 1 3 1000"},
        {"LOG SystemErrorLogger ALL SystemErrorLogger", "SystemErrorLogger", 0,
         "SystemErrorLogger 1 2 0"},
        {"LOGS nmea FINE nmea.txt", "nmea", 3, "nmea.txt 2 1 0"},
        {"LOGX key printf", "key", NO},
        {"LOG", "key", NO},
        {"LOG key", "key", NO},
        {"LOG key printf", "key", 0, "printf 0"},
        {"LOGT key INFOFILE.txt", "key", NO},
        {"LOG key \"my file.txt\"", "key", 0, "my file.txt 0 1 0"},
        {"LOG key INFO file.txt x", "key", NO},
        {"LOG\tkey\t\tERROR\tprintf\r\n", "key", 6, "printf 0"},
        {"LOG key INFO f20.log 25 3\r\n", "key", 4, "f20.log 0 20 3000"},
        {"LOG key INFO /sensorboard/", "key", NO},
    };
    for (const auto& c : aCases) {
        EXPECT_EQ(c.nLevel != NO, processRouteLine(c.szLine)) << c.szLine;
        EXPECT_EQ(c.nLevel == NO ? LVL_NONE : c.nLevel, thresholdOf(c.szLog)) << c.szLine;
        EXPECT_EQ(c.szConsumer, consumers()) << c.szLine;
        mgr().removeAll();
    }
}

#if !defined(_WIN32)
// FIFOs, devices, /proc, a drive letter that means nothing and the debug
// output: POSIX only.
TEST_F(DebugDefTest, LoaderSkipsCommentsAndRefusesConsumersThatAreNoWritableFile)
{
    const fs::path dir = m_root / "refused";
    fs::create_directories(dir / "folder");
    fs::create_directories(dir / "cwd");
    const fs::path fifo = dir / "fifo.log";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, ::mkfifo((dir / "set_02.log").c_str(), 0600));
    writeFile(dir / "plain", "a file where a directory should be\n");
    // The consumer, the entry at fault and why.
    const std::tuple<std::string, std::string, const char*> aCases[] = {
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
    // Each line is refused but the comment, the indented and the blank line
    // and the last, which needs no line end.
    std::string strFile = "# LOG c1 INFO printf\n";
    std::string strExpected;
    int nLine = 1;
    for (const auto& [strConsumer, strCulprit, szReason] : aCases) {
        strFile += "LOG key INFO " + strConsumer + "\n";
        strExpected += path.string() + ":" + std::to_string(++nLine) +
                       ": log route refused: " + strCulprit + ": " + szReason + "\n";
    }
    writeFile(path, strFile + "\tLOG c2 INFO printf\n\r\nLOG other WARN printf");

    const fs::path previous = fs::current_path();
    fs::current_path(dir / "cwd");
    uint32_t unResult = 1;
    ::testing::internal::CaptureStderr();
    // Opening a FIFO for writing would wait for a reader that never comes.
    EXPECT_TRUE(returnsWithoutBlocking(fifo, [&] { unResult = loadLogRoutes(path.c_str()); }));
    EXPECT_EQ(strExpected, ::testing::internal::GetCapturedStderr());
    fs::current_path(previous);
    EXPECT_EQ(0u, unResult);
    for (const char* szLog : {"key", "c1", "c2"}) {
        EXPECT_EQ(LVL_NONE, thresholdOf(szLog)) << szLog;
    }
    EXPECT_EQ(LVL_WARN, thresholdOf("other"));
    EXPECT_EQ(1, mgr().componentCount());
    EXPECT_TRUE(fs::is_empty(dir / "cwd"));

    // A directory is not read as a definition file (the tool's tests show a FIFO).
    EXPECT_EQ(NOX::RC_FAILED, loadLogRoutes(dir.c_str()));
}

TEST_F(DebugDefTest, AStorageRootThatCannotBeWrittenIsReportedOncePerRoot)
{
    writeFile(m_root / "root-file", "not a directory\n");
    const std::string strPath = (m_root / "loader" / "relative.def").string();
    writeFile(strPath, "LOG a INFO a.log\nLOG b INFO b.log\nLOG e ALL SystemErrorLogger\n");
    for (const std::string& strRoot : {(m_root / "root-file").string(), std::string("/proc")}) {
        SCOPED_TRACE(strRoot);
        testenv::setEnv("QUENTA_STORAGE_ROOT", strRoot);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(0u, loadLogRoutes(strPath.c_str()));
        EXPECT_EQ(0u, loadLogRoutes(strPath.c_str()));
        const std::string strErr = ::testing::internal::GetCapturedStderr();
        const size_t unRoot = strErr.find("storage root " + strRoot + " cannot be written (");
        EXPECT_NE(std::string::npos, unRoot) << strErr;
        EXPECT_EQ(std::string::npos, strErr.find("storage root", unRoot + 1)) << "once per root";
        const std::string strRefused = strPath + ":1: log route refused: " + strRoot;
        EXPECT_NE(std::string::npos, strErr.find(strRefused, strErr.find(strRefused) + 1))
            << "refused at each load: " << strErr;
        EXPECT_EQ(LVL_NONE, thresholdOf("a"));
        EXPECT_EQ(LVL_ALL, thresholdOf("e")) << "the error log is no path of its own";
        mgr().removeAll();
    }
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
