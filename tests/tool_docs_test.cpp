// The manual pages and the shell completions against the tools they
// describe: every command and option that a tool's --help lists stands in its
// page and is offered by its completion, so they cannot drift apart.
#include "ToolTestSupport.h"

#include <regex>
#include <set>

namespace {

// The page's text with troff's escaped hyphens as plain ones.
std::string pageText(const std::string& strPage)
{
    return std::regex_replace(tooltest::readFile(QUENTA_SOURCE_DIR "/man/" + strPage),
                              std::regex(R"(\\-)"), "-");
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

// What bash offers for a command line whose last word is being completed.
std::string completions(const std::string& strTool, const std::vector<std::string>& vecWords)
{
    std::string strScript = "source '" + std::string(QUENTA_SOURCE_DIR) + "/completions/" +
                            strTool + "'; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); " +
                            "$(complete -p " + strTool + " | sed 's/.*-F \\([^ ]*\\).*/\\1/'); " +
                            "printf '%s\\n' \"${COMPREPLY[@]}\"";
    std::vector<std::string> vecArgv = {"/bin/bash", "-c", strScript, "_", strTool};
    vecArgv.insert(vecArgv.end(), vecWords.begin(), vecWords.end());
    const proctest::RunS result = proctest::runProcess(vecArgv);
    EXPECT_EQ(0, result.m_nExit) << result.m_strErr;
    return result.m_strOut;
}

TEST(ToolDocsTest, EveryTermOfTheHelpStandsInThePageAndIsCompleted)
{
    for (const char* szTool : {"quenta", "quenta-sim"}) {
        const std::string strPage = pageText(std::string(szTool) + ".1");
        ASSERT_FALSE(strPage.empty()) << szTool;
        // mandoc's lint finds markup that renders wrongly; long lines and
        // the page's free-form date are the house style.
        const proctest::RunS lint =
            proctest::runProcess({"/usr/bin/mandoc", "-T", "lint", "-W", "style",
                                  std::string(QUENTA_SOURCE_DIR) + "/man/" + szTool + ".1"});
        for (const std::string& strLine : proctest::splitLines(lint.m_strOut + lint.m_strErr)) {
            EXPECT_TRUE(std::regex_search(
                strLine, std::regex("longer than 80 bytes|WARNING: cannot parse date")))
                << strLine;
        }
        const std::string strOffered = "\n" + completions(szTool, {""});
        const std::set<std::string> setTerms = helpTerms(szTool);
        EXPECT_GT(setTerms.size(), 10u) << szTool;
        for (const std::string& strTerm : setTerms) {
            EXPECT_NE(std::string::npos, strPage.find(strTerm)) << szTool << ": " << strTerm;
            EXPECT_NE(std::string::npos, strOffered.find("\n" + strTerm + "\n"))
                << szTool << ": " << strTerm;
        }
    }
    // The tool's page also gives what its help leaves out, and every form of
    // the library's command lines that `at --list` gives ("  FORM  what it
    // does", or a long form alone on its line).
    const std::string strList =
        proctest::runProcess({proctest::binaryDir() + "/tools/quenta", "at", "--list"}).m_strOut;
    const std::string strSource = tooltest::readFile(QUENTA_SOURCE_DIR "/man/quenta.1");
    size_t unForms = 0;
    const std::regex c_form(R"(\n  ([^ \n]+))");
    for (std::sregex_iterator it(strList.begin(), strList.end(), c_form), end; it != end; ++it) {
        const std::string strForm = (*it)[1];
        ++unForms;
        EXPECT_TRUE(tooltest::contains(strSource, "\n.B " + strForm + "\n") ||
                    tooltest::contains(strSource, "\n\\fB" + strForm + "\\fR\n"))
            << strForm;
    }
    EXPECT_GT(unForms, 20u);
    for (const char* szTerm :
         {"QUENTA_PORT_COM8", "QUENTA_STORAGE_ROOT", "QUENTA_REGISTRY_FILE", ".SH EXIT STATUS",
          ".SH FILES", ".SH EXAMPLES", ".B 0\n", ".B 1\n", ".B 2\n", ".B 3\n", ".B 4\n"}) {
        EXPECT_TRUE(tooltest::contains(pageText("quenta.1"), szTerm)) << szTerm;
    }
}

TEST(CompletionTest, ArgumentsAreCompletedByWhatTheyName)
{
    const struct
    {
        const char* szTool;
        std::vector<std::string> vecWords;
        const char* szExpected;
    } c_aCases[] = {
        {"quenta", {"--json", "se"}, "search\n"},
        {"quenta", {"search", "--j"}, "--json\n"},
        {"quenta", {"search", "pa"}, "pair\npaired\n"},
        {"quenta", {"pair", "sh"}, "\n"},
        {"quenta", {"ports", "--pr"}, "--probe\n"},
        {"quenta", {"at", "--l"}, "--list\n"},
        {"quenta", {"--port", "/dev/nul"}, "/dev/null\n"},
        {"quenta",
         {"--debug-def", QUENTA_SOURCE_DIR "/man/quenta-s"},
         QUENTA_SOURCE_DIR "/man/quenta-sim.1\n"},
        {"quenta-sim", {"--baud", "92"}, "921600\n"},
        {"quenta-sim", {"--mode", "c"}, "command\n"},
    };
    for (const auto& testCase : c_aCases) {
        EXPECT_EQ(testCase.szExpected, completions(testCase.szTool, testCase.vecWords))
            << testCase.szTool << " " << testCase.vecWords.back();
    }
}

} // namespace
