// The manual pages against the tools they describe: every command and option
// that a tool's --help lists, and the environment and exit codes, stand in
// its page, so the two cannot drift apart.
#include "ProcessRunner.h"

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace {

// The page's text with troff's escaped hyphens as plain ones.
std::string pageText(const std::string& strPage)
{
    std::ifstream page(std::string(QUENTA_SOURCE_DIR) + "/man/" + strPage);
    std::stringstream text;
    text << page.rdbuf();
    return std::regex_replace(text.str(), std::regex(R"(\\-)"), "-");
}

// Options ("--port", "-h") and, under "Commands:", the first word of each line.
std::set<std::string> helpTerms(const std::string& strTool)
{
    const proctest::RunS result =
        proctest::runProcess({proctest::binaryDir() + "/tools/" + strTool, "--help"});
    EXPECT_EQ(0, result.m_nExit);
    std::set<std::string> setTerms;
    bool bCommands = false;
    for (const std::string& strLine : proctest::splitLines(result.m_strOut)) {
        const std::regex option(R"((^|[\s,])(--?[a-z][a-z-]*))");
        for (std::sregex_iterator it(strLine.begin(), strLine.end(), option), end; it != end;
             ++it) {
            setTerms.insert((*it)[2]);
        }
        if (bCommands && strLine.rfind("  ", 0) == 0) {
            setTerms.insert(strLine.substr(2, strLine.find(' ', 2) - 2));
        }
        bCommands = strLine == "Commands:" || (bCommands && !strLine.empty());
    }
    return setTerms;
}

TEST(ManPageTest, EveryTermOfTheHelpStandsInThePage)
{
    for (const char* szTool : {"quenta", "quenta-sim"}) {
        const std::string strPage = pageText(std::string(szTool) + ".1");
        ASSERT_FALSE(strPage.empty()) << szTool;
        const std::set<std::string> setTerms = helpTerms(szTool);
        EXPECT_GT(setTerms.size(), 10u) << szTool;
        for (const std::string& strTerm : setTerms) {
            EXPECT_NE(std::string::npos, strPage.find(strTerm)) << szTool << ": " << strTerm;
        }
    }
}

TEST(ManPageTest, TheToolsPageGivesItsEnvironmentAndExitCodes)
{
    const std::string strPage = pageText("quenta.1");
    for (const char* szTerm : {"QUENTA_PORT_COM8", "QUENTA_STORAGE_ROOT", "QUENTA_REGISTRY_FILE",
                               ".SH EXIT STATUS", ".SH FILES", ".SH EXAMPLES"}) {
        EXPECT_NE(std::string::npos, strPage.find(szTerm)) << szTerm;
    }
    for (int nCode = 0; nCode <= 4; ++nCode) {
        EXPECT_NE(std::string::npos, strPage.find(".B " + std::to_string(nCode) + "\n")) << nCode;
    }
}

} // namespace
