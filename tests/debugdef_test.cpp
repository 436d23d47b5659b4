// The debug definition file: route lines, the loader on real files, and the
// registry of handlers with the default file.
#include "LogFileSupport.h"

#include "Nox_Dbg/NOX_DBG_LogFile.h"
#include "Nox_Dbg/NOX_DBG_LogFramework.h"
#include "TRC_CFG_TaviDeviceControllerImpl.h"

#include <algorithm>
#include <regex>
#include <vector>

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
        char szTemplate[] = "/tmp/quenta-debugdef-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(szTemplate));
        s_root = szTemplate;
        ::setenv("QUENTA_STORAGE_ROOT", szTemplate, 1);
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

// ------------------------------------------------------------ route lines

TEST_F(DebugDefTest, RouteLinesFollowTheGrammar)
{
    const int32_t NO = -1;
    struct CaseS
    {
        const char* szLine;
        // The log whose threshold shows the route; for "no route" cases the
        // key, which must stay silent.
        const char* szLog;
        int32_t nLevel;
        const char* szConsumer = "";
        uint32_t unHeaderMode = 0;
        // 0 for a consumer that is not a file.
        int32_t nFiles = 0;
        uint32_t unMaxAge = 0;
    } aCases[] = {
        // The examples.
        {"LOGT SerialPortC INFO printf", "SerialPortC", 4, "printf", 1, 0, 0},
        {"LOGT * WARN trace.txt 3 1", "AnyLog", 5, "trace.txt", 1, 3, 1000},
        {"LOG SystemErrorLogger ALL SystemErrorLogger", "SystemErrorLogger", 0, "SystemErrorLogger",
         1, 2, 0},
        {"LOGS nmea FINE nmea.txt", "nmea", 3, "nmea.txt", 2, 1, 0},
        // The edge cases.
        {"LOGX key printf", "key", NO},
        {"LOGXkey printf", "key", NO},
        {"LOG", "key", NO},
        {"LOG\r\n", "key", NO},
        {"LOG \r\n", "key", NO},
        {"LOG key", "key", NO},
        {"LOG key \t \r\n", "key", NO},
        {"LOG key printf", "key", 0, "printf", 0, 0, 0},
        {"LOGT key INFOFILE.txt", "key", NO},
        {"LOG key \"my file.txt\"", "key", 0, "my file.txt", 0, 1, 0},
        {"LOG key INFO file.txt x", "key", NO},
        // Level keywords, by prefix and in table order.
        {"LOG key FATAL printf", "key", 7, "printf", 0, 0, 0},
        {"LOG key ERROR printf", "key", 6, "printf", 0, 0, 0},
        {"LOG key WARN printf", "key", 5, "printf", 0, 0, 0},
        {"LOG key WARNINGS printf", "key", 5, "printf", 0, 0, 0},
        {"LOG key INFO printf", "key", 4, "printf", 0, 0, 0},
        {"LOG key FINE printf", "key", 3, "printf", 0, 0, 0},
        {"LOG key FINER printf", "key", 2, "printf", 0, 0, 0},
        {"LOG key FINEST printf", "key", 1, "printf", 0, 0, 0},
        {"LOG key ALL printf", "key", 0, "printf", 0, 0, 0},
        {"LOG key FINEST.txt", "key", NO},
        {"LOG key INFO INFO.txt", "key", 4, "INFO.txt", 0, 1, 0},
        {"LOG key info.txt", "key", 0, "info.txt", 0, 1, 0},
        // Separators and line ends.
        {"LOG\tkey\t\tERROR\tprintf\r\n", "key", 6, "printf", 0, 0, 0},
        {"LOGS  key  INFO  printf  \r\n", "key", 4, "printf", 2, 0, 0},
        {"LOG key INFO \t\r\n", "key", NO},
        {"LOG key* INFO printf", "keyboard", 4, "printf", 0, 0, 0},
        // Quoted names.
        {"LOG key INFO \"a b.log\"junk 2 3", "key", 4, "a b.log", 0, 2, 3000},
        {"LOG key INFO \"\" 2", "key", NO},
        {"LOG key INFO \"open name.log 2", "key", NO},
        // Files and age.
        {"LOG key INFO f4.log 4", "key", 4, "f4.log", 0, 4, 0},
        {"LOG key INFO f2.log 2 abc", "key", 4, "f2.log", 0, 2, 0},
        {"LOG key INFO f20.log 25 3\r\n", "key", 4, "f20.log", 0, 20, 3000},
        {"LOG key INFO f0.log 0", "key", 4, "f0.log", 0, 1, 0},
        // The reserved name.
        {"LOG key INFO /sensorboard/", "key", NO},
    };
    for (const CaseS& c : aCases) {
        SCOPED_TRACE(c.szLine);
        bool bRoute = processRouteLine(c.szLine);
        if (c.nLevel == NO) {
            EXPECT_FALSE(bRoute);
            EXPECT_EQ(0, mgr().componentCount());
            EXPECT_EQ(LVL_NONE, thresholdOf(c.szLog));
            continue;
        }
        EXPECT_TRUE(bRoute);
        EXPECT_EQ(c.nLevel, thresholdOf(c.szLog));
        EXPECT_EQ(1, mgr().componentCount());
        DbgLogConsumerC* pConsumer = childConsumer(c.szConsumer);
        ASSERT_NE(nullptr, pConsumer);
        EXPECT_EQ(c.unHeaderMode, pConsumer->getHeaderMode());
        auto* pFile = dynamic_cast<DbgLogFileConsumerC*>(pConsumer);
        EXPECT_EQ(c.nFiles != 0, pFile != nullptr);
        if (pFile != nullptr) {
            EXPECT_EQ(c.nFiles, pFile->getNumberOfFiles());
            EXPECT_EQ(c.unMaxAge, pFile->getMaxAge());
            EXPECT_FALSE(pFile->getPath().empty());
        }
        mgr().removeAll();
    }
}

TEST_F(DebugDefTest, ExampleRoutesWriteTheirFiles)
{
    ASSERT_TRUE(processRouteLine("LOGT * WARN trace.txt 3 1\n"));
    ASSERT_TRUE(processRouteLine("LOGS nmea FINE nmea.txt\n"));
    const fs::path logDir = s_root / "dbg" / "log";
    EXPECT_TRUE(fs::exists(logDir / "trace_01.txt"));
    auto* pNmea = dynamic_cast<DbgLogFileConsumerC*>(childConsumer("nmea.txt"));
    ASSERT_NE(nullptr, pNmea);
    std::string strPath = pNmea->getPath();
    EXPECT_TRUE(std::regex_search(strPath, std::regex("[\\\\/]nmea[0-9]{3}_[0-9]+\\.txt$")))
        << strPath;

    DbgLogFileC log("ExampleLog");
    log.log(LVL_WARN, "warned\r\n");
    std::ifstream file(logDir / "trace_01.txt");
    std::string strLine;
    std::getline(file, strLine);
    EXPECT_TRUE(std::regex_search(strLine, std::regex("^\\[[0-9/]{10} [0-9:.]{12} UTC\\] .* WRN "
                                                      "ExampleLog warned\r$")))
        << strLine;
}

// ------------------------------------------------------------ the loader

TEST_F(DebugDefTest, LoaderSkipsCommentsBlankAndIndentedLines)
{
    const fs::path path = s_root / "loader" / "comments.def";
    writeFile(path, "# LOG c1 INFO printf\n"
                    "; LOG c2 INFO printf\n"
                    "/ LOG c3 INFO printf\n"
                    " LOG c4 INFO printf\n"
                    "\tLOG c5 INFO printf\n"
                    "\n"
                    "\r\n"
                    "TRACE c6 INFO printf\n"
                    "LOG c7 WARN printf\r\n"
                    "LOGT c8 ERROR printf");
    EXPECT_EQ(0u, loadLogRoutes(path.c_str()));
    for (const char* szKey : {"c1", "c2", "c3", "c4", "c5", "c6"}) {
        EXPECT_EQ(LVL_NONE, thresholdOf(szKey)) << szKey;
    }
    EXPECT_EQ(LVL_WARN, thresholdOf("c7"));
    EXPECT_EQ(LVL_ERROR, thresholdOf("c8"));
}

TEST_F(DebugDefTest, LinesLongerThan255CharactersGoOnAsNewLines)
{
    const fs::path path = s_root / "loader" / "long.def";
    // A comment of exactly 255 characters: what follows is a line of its own.
    std::string strComment = "#" + std::string(254, 'c');
    // A route line whose key runs past the piece: no route from either half.
    std::string strLongKey = "LOG " + std::string(300, 'k') + " INFO printf\n";
    writeFile(path, strComment + "LOG tail WARN printf\n" + strLongKey);
    EXPECT_EQ(0u, loadLogRoutes(path.c_str()));
    EXPECT_EQ(LVL_WARN, thresholdOf("tail"));
    EXPECT_EQ(1, mgr().componentCount());
    EXPECT_EQ(LVL_NONE, thresholdOf(std::string(251, 'k')));
}

TEST_F(DebugDefTest, LoadDebugConfigurationReportsAMissingFileAndLoadsARealOne)
{
    EXPECT_EQ(TRC::CFG::RC_FAILED,
              TRC::CFG::loadDebugConfiguration((s_root / "missing.def").c_str()));
    EXPECT_EQ(TRC::CFG::RC_FAILED, TRC::CFG::loadDebugConfiguration(nullptr));
    EXPECT_EQ(0, mgr().componentCount());

    const fs::path path = s_root / "loader" / "wire.def";
    writeFile(path, "# the wire traffic\n"
                    "LOG TaviDeviceControllerImplC ALL printf\n"
                    "LOG TaviDeviceRequestC ALL printf\n"
                    "LOG SystemErrorLogger ALL SystemErrorLogger\n");
    EXPECT_EQ(TRC::CFG::RC_OK, TRC::CFG::loadDebugConfiguration(path.c_str()));
    EXPECT_EQ(LVL_ALL, thresholdOf("TaviDeviceControllerImplC"));
    EXPECT_EQ(LVL_ALL, thresholdOf("TaviDeviceRequestC"));
    EXPECT_TRUE(mgr().getSystemErrorLogger()->isEnabled(LVL_ALL));
    EXPECT_EQ(LVL_NONE, thresholdOf("SerialPortC"));
    EXPECT_EQ(2, mgr().componentCount());
    EXPECT_TRUE(fs::exists(s_root / "dbg" / "log" / "ErrorLog_01.txt"));
}

// ------------------------------------------------------------ the registry

namespace {

// Records what it is offered into a shared journal.
class RecordingHandlerC : public DbgConfigI
{
public:
    RecordingHandlerC(std::string strName, std::vector<std::string>& vecJournal)
        : m_strName(std::move(strName)), m_vecJournal(vecJournal)
    {
        DbgConfiguratorRegistryC::getInstance()->addHandler(this);
    }
    ~RecordingHandlerC() { DbgConfiguratorRegistryC::getInstance()->removeHandler(this); }

    bool configure(const char* szText, int32_t nLevel) override
    {
        m_vecJournal.push_back(m_strName + "@" + std::to_string(nLevel) + ":" + szText);
        return m_strTakes == "*" || (!m_strTakes.empty() && m_strTakes == szText);
    }
    void notify(uint32_t unValue) override
    {
        m_vecJournal.push_back(m_strName + " notified " + std::to_string(unValue));
    }
    bool handleKey(const std::wstring& strKey, int32_t, std::wstring& strReply) override
    {
        if (strKey != m_strKey) {
            return false;
        }
        strReply = L"known";
        return true;
    }

    std::string m_strName;
    std::string m_strTakes;
    std::wstring m_strKey;

private:
    std::vector<std::string>& m_vecJournal;
};

// Three handlers, named in the registry's order (by address).
struct HandlerTrioS
{
    explicit HandlerTrioS(std::vector<std::string>& vecJournal)
        : a("?", vecJournal), b("?", vecJournal), c("?", vecJournal)
    {
        std::vector<RecordingHandlerC*> vecSorted = {&a, &b, &c};
        std::sort(vecSorted.begin(), vecSorted.end());
        const char* aszNames[] = {"first", "second", "third"};
        for (size_t i = 0; i < vecSorted.size(); ++i) {
            vecSorted[i]->m_strName = aszNames[i];
            pInOrder[i] = vecSorted[i];
        }
    }
    RecordingHandlerC a, b, c;
    RecordingHandlerC* pInOrder[3];
};

const fs::path& defaultFile()
{
    static const fs::path s_path = s_root / "Dbg" / "debug.def";
    return s_path;
}

} // namespace

TEST(DebugConfigRegistryTest, TextsAndFileLinesGoInOrderUntilOneHandlerTakesThem)
{
    std::vector<std::string> vecJournal;
    HandlerTrioS trio(vecJournal);
    DbgConfiguratorRegistryC* pRegistry = DbgConfiguratorRegistryC::getInstance();

    EXPECT_FALSE(pRegistry->configure("X", 2));
    EXPECT_EQ((std::vector<std::string>{"first@2:X", "second@2:X", "third@2:X"}), vecJournal);

    vecJournal.clear();
    trio.pInOrder[1]->m_strTakes = "Y";
    EXPECT_TRUE(pRegistry->configure("Y", 1));
    EXPECT_EQ((std::vector<std::string>{"first@1:Y", "second@1:Y"}), vecJournal);

    vecJournal.clear();
    pRegistry->notify(7);
    EXPECT_EQ(
        (std::vector<std::string>{"first notified 7", "second notified 7", "third notified 7"}),
        vecJournal);

    // The file's lines go the same way: the first handler takes them all.
    writeFile(defaultFile(), "one\ntwo\n");
    for (RecordingHandlerC* pHandler : trio.pInOrder) {
        pHandler->m_strTakes = "*";
    }
    vecJournal.clear();
    pRegistry->configureFromFile(2);
    EXPECT_EQ((std::vector<std::string>{"first@2:one", "first@2:two"}), vecJournal);
}

TEST(DebugConfigRegistryTest, HandleKeyRepliesWithTheKeyOrTheMissingHandler)
{
    std::vector<std::string> vecJournal;
    HandlerTrioS trio(vecJournal);
    trio.pInOrder[2]->m_strKey = L"gps";
    DbgConfiguratorRegistryC* pRegistry = DbgConfiguratorRegistryC::getInstance();

    std::wstring strReply;
    EXPECT_TRUE(pRegistry->handleKey(L"gps", 3, strReply));
    EXPECT_EQ(L"gps:known", strReply);
    EXPECT_FALSE(pRegistry->handleKey(L"radio", 3, strReply));
    EXPECT_EQ(L"No handler found for debug key [radio]", strReply);
    strReply = L"untouched";
    EXPECT_FALSE(pRegistry->handleKey(L"", 3, strReply));
    EXPECT_EQ(L"untouched", strReply);
}

TEST(DebugConfigRegistryTest, ConfigureFromFileOncePerLevelIncrease)
{
    writeFile(defaultFile(), "# comment\n"
                             "LOG x INFO printf\n"
                             " indented\n"
                             "GPS rate 5\r\n"
                             "last");
    std::vector<std::string> vecJournal;
    RecordingHandlerC handler("h", vecJournal);
    DbgConfiguratorRegistryC* pRegistry = DbgConfiguratorRegistryC::getInstance();
    const std::vector<std::string> vecAtOne = {"h@1:LOG x INFO printf", "h@1:GPS rate 5\r",
                                               "h@1:last"};

    pRegistry->configureFromFile(1);
    EXPECT_EQ(vecAtOne, vecJournal);
    vecJournal.clear();
    pRegistry->configureFromFile(1);
    pRegistry->configureFromFile(0);
    EXPECT_TRUE(vecJournal.empty());

    pRegistry->configureFromFile(3);
    EXPECT_EQ(3u, vecJournal.size());
    EXPECT_EQ("h@3:last", vecJournal.back());

    // A handler added later sees the file at its first level; the others
    // already have.
    vecJournal.clear();
    RecordingHandlerC late("late", vecJournal);
    pRegistry->configureFromFile(3);
    EXPECT_EQ((std::vector<std::string>{"late@3:LOG x INFO printf", "late@3:GPS rate 5\r",
                                        "late@3:last"}),
              vecJournal);
}

TEST(DebugConfigRegistryTest, DefaultFileFindLineCodesAndAMissingFile)
{
    writeFile(defaultFile(), "# GPS commented\n"
                             " GPS indented\n"
                             "GPS rate 5\r\n"
                             "GPS rate 9\n"
                             "RADIO on");
    DbgConfiguratorRegistryC* pRegistry = DbgConfiguratorRegistryC::getInstance();
    EXPECT_EQ(s_root.string() + "\\Dbg\\debug.def", pRegistry->getDefaultFilePath());
    std::string strLine;
    EXPECT_EQ(0u, pRegistry->findLine("GPS", strLine));
    EXPECT_EQ("GPS rate 5\r\n", strLine);
    EXPECT_EQ(0u, pRegistry->findLine("RADIO", strLine));
    EXPECT_EQ("RADIO on", strLine);
    EXPECT_EQ(0x0200001Au, pRegistry->findLine("# GPS", strLine));
    EXPECT_EQ(0x0200001Au, pRegistry->findLine("NONE", strLine));

    std::error_code error;
    fs::remove(defaultFile(), error);
    EXPECT_EQ(0x0200001Bu, pRegistry->findLine("GPS", strLine));

    // A missing file configures nothing and does not count as the level seen.
    std::vector<std::string> vecJournal;
    RecordingHandlerC handler("h", vecJournal);
    pRegistry->configureFromFile(4);
    EXPECT_TRUE(vecJournal.empty());
    writeFile(defaultFile(), "seen\n");
    pRegistry->configureFromFile(4);
    EXPECT_EQ(std::vector<std::string>{"h@4:seen"}, vecJournal);
}
