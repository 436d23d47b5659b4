// The simulator's statement language: what each statement parses to, the
// problem named for every malformed one, and the fault model's choice among
// the faults that match a line. Scripts are run by the tool's scenario case
// and refused, naming their line, by the Python package's.
#include "SIM_Faults.h"
#include "SIM_Statements.h"

#include <gtest/gtest.h>

using namespace QUENTA::SIM;

namespace {

SimStatementS parsed(const std::string& strLine)
{
    SimStatementS statement;
    std::string strError;
    EXPECT_TRUE(parseStatement(strLine, statement, strError)) << strLine << ": " << strError;
    return statement;
}

SimFaultS fault(const std::string& strTarget, SimFaultKindE eKind, uint32_t ulArg = 0,
                uint32_t unSkip = 0, uint32_t unCount = 0)
{
    SimFaultS result;
    result.m_strTarget = strTarget;
    result.m_eKind = eKind;
    result.m_ulArg = ulArg;
    result.m_unSkip = unSkip;
    result.m_unCount = unCount;
    return result;
}

TEST(SimStatementsTest, FaultsParseToTargetKindArgumentAndCounts)
{
    const std::pair<const char*, SimFaultS> c_aCases[] = {
        {"fault AGI=error", fault("AGI", FK_ERROR)},
        {"  fault agi=error*1  ", fault("AGI", FK_ERROR, 0, 0, 1)},
        {"fault AGND=silent@2", fault("AGND", FK_SILENT, 0, 1, 0)},
        {"fault *=drop*3", fault("*", FK_DROP, 0, 0, 3)},
        {"fault AT=garbage", fault("AT", FK_GARBAGE)},
        {"fault AMWS=garbage:7@3*2", fault("AMWS", FK_GARBAGE, 7, 2, 2)},
        {"fault AILVI=split", fault("AILVI", FK_SPLIT)},
        {"fault AT&F=split:3", fault("AT&F", FK_SPLIT, 3)},
        {"fault *=delay:150", fault("*", FK_DELAY, 150)},
        {"fault ADDM=vanish", fault("ADDM", FK_VANISH)},
        {"fault name:02a0c7a1b2c3r=error*1", fault("name:02a0c7a1b2c3r", FK_ERROR, 0, 0, 1)},
        {"fault name:02a0c7a1b2c3r=silent", fault("name:02a0c7a1b2c3r", FK_SILENT)},
    };
    for (const auto& [szLine, expected] : c_aCases) {
        const SimStatementS statement = parsed(szLine);
        EXPECT_EQ(ST_FAULT, statement.m_eType) << szLine;
        EXPECT_EQ(expected, statement.m_fault) << szLine;
        // The description is a statement again, for the state report.
        EXPECT_EQ(expected, parsed("fault " + describeFault(expected)).m_fault) << szLine;
    }
}

TEST(SimStatementsTest, OtherStatementsParse)
{
    EXPECT_EQ(ST_NONE, parsed("").m_eType);
    EXPECT_EQ(ST_NONE, parsed("   # fault AGI=bogus").m_eType);
    EXPECT_EQ(ST_CLEAR_ALL, parsed("clear all").m_eType);
    EXPECT_EQ("AGND", parsed("clear agnd").m_strTarget);
    EXPECT_EQ("name:02a0c7a1b2c3r", parsed("clear name:02a0c7a1b2c3r").m_strTarget);

    const SimStatementS add = parsed("device add 02a0c7a1b2c9r 7978 Kitchen radio 2");
    EXPECT_EQ(ST_DEVICE_ADD, add.m_eType);
    EXPECT_EQ("02a0c7a1b2c9r", add.m_device.m_strAddress);
    EXPECT_EQ(7978u, add.m_device.m_ulClass);
    EXPECT_EQ("Kitchen radio 2", add.m_device.m_strName);

    const SimStatementS set = parsed("set restart-ms 1500");
    EXPECT_EQ(SET_RESTART_MS, set.m_eSetting);
    EXPECT_EQ(1500u, set.m_ulValue);
    EXPECT_EQ(921600u, parsed("set baud 921600").m_ulValue);
    EXPECT_EQ(SM_PRODUCTION, parsed("mode production").m_eMode);
    EXPECT_EQ(ST_STATE, parsed("state\r").m_eType);
    EXPECT_EQ(std::string("hi #1\r\n\x01\xff\\", 10),
              parsed("peer hi #1\\r\\n\\x01\\xFF\\\\").m_strBytes);
    EXPECT_EQ("", parsed("garbage").m_strBytes);

    const SimStatementS on = parsed("on at#3: fault AGND=silent*1");
    EXPECT_EQ(ST_ON, on.m_eType);
    EXPECT_EQ("AT", on.m_strWord);
    EXPECT_EQ(3u, on.m_unOccurrence);
    ASSERT_TRUE(on.m_pThen);
    EXPECT_EQ(fault("AGND", FK_SILENT, 0, 0, 1), on.m_pThen->m_fault);
}

TEST(SimStatementsTest, MalformedStatementsNameTheirProblem)
{
    const std::pair<std::string, const char*> c_aCases[] = {
        {"frobnicate", "unknown statement \"frobnicate\""},
        {"fault AGI = error", "expected fault TARGET=KIND"},
        {"fault AGII=error", "unknown command word \"AGII\""},
        {"fault AGI=bogus", "unknown fault kind \"bogus\""},
        {"fault AGI=ERROR", "unknown fault kind \"ERROR\""},
        {"fault AGI=error:3", "error takes no :ARG"},
        {"fault AGI=delay", "delay needs the milliseconds"},
        {"fault AGI=delay:abc", "bad delay argument \"abc\""},
        {"fault AGI=delay:3600001", "bad delay argument"},
        {"fault AGI=split:1", "at least 2 pieces"},
        {"fault AGI=error*0", "bad *M \"0\""},
        {"fault AGI=error@0", "bad @N \"0\""},
        {"fault AGI=error*1@2", "expected KIND[:ARG][@N][*M]"},
        {std::string("fault AGI=split\0AGI", 19), "expected KIND[:ARG][@N][*M]"},
        {"fault name:=error", "name: needs a device address"},
        {"fault name:02a0c7a1b2c3r=drop", "a name: fault is error or silent"},
        {"fault name:02a0c7a1b2c3r=error*2", "once (*1) or always"},
        {"clear AGI AGND", "expected clear TARGET or clear all"},
        {"clear FOO", "unknown command word \"FOO\""},
        {"device add 02a0c7a1b2c9r", "expected device add ADDRESS CLASS NAME"},
        {"device add 0012 7978 Say \"hi\"", "no quotes"},
        {"device add bad/address 7978 Name", "expected device add ADDRESS CLASS NAME"},
        {"device remove 0012 now", "device remove takes only the address"},
        {"devices", "expected devices clear"},
        {"set scan-ms -1", "set scan-ms takes milliseconds"},
        {"set echo maybe", "set echo takes on or off"},
        {"set baud 38400", "set baud takes 4800"},
        {"set colour 3", "unknown setting \"colour\""},
        {"mode sleep", "mode takes data, command or production"},
        {"vanish now", "vanish takes no argument"},
        {"peer", "peer needs the text"},
        {"garbage \\x4", "bad escape"},
        {"on AGI fault AGND=silent", "expected on WORD[#N]: STATEMENT"},
        {"on AGI#0: vanish", "bad #N"},
        {"on NOPE: vanish", "unknown command word \"NOPE\""},
        {"on AGI:", "needs one statement"},
        {"on AGI: on AT: vanish", "needs one statement, not another on"},
        {"on AGI: fault AGI=bogus", "after \"AGI:\": unknown fault kind"},
    };
    for (const auto& [strLine, szProblem] : c_aCases) {
        SimStatementS statement;
        std::string strError;
        EXPECT_FALSE(parseStatement(strLine, statement, strError)) << strLine;
        EXPECT_NE(std::string::npos, strError.find(szProblem)) << strLine << " -> " << strError;
    }
}

TEST(SimFaultsTest, TheWordWinsOverStarCountsRunOutAndGroupsCombine)
{
    SimFaultsC faults;
    faults.set(fault("*", FK_ERROR));
    faults.set(fault("AGI", FK_SILENT, 0, 1, 1)); // the second AGI, once
    faults.set(fault("AGI", FK_DELAY, 250));
    faults.set(fault("*", FK_SPLIT, 3, 0, 2));

    SimFaultOutcomeS first = faults.onCommand("AT*AGI=2,10,15");
    EXPECT_TRUE(first.m_bAnswerFault);
    EXPECT_EQ(FK_ERROR, first.m_eAnswer) << "the AGI fault lets the first one through";
    EXPECT_EQ(250u, first.m_ulDelayMs);
    EXPECT_EQ(3u, first.m_unPieces);

    SimFaultOutcomeS second = faults.onCommand("AT*AGI=2,10,15");
    EXPECT_EQ(FK_SILENT, second.m_eAnswer);
    EXPECT_TRUE(second.m_bSplit);
    EXPECT_EQ(3u, second.m_vecFired.size());

    SimFaultOutcomeS third = faults.onCommand("AT*AGI=2,10,15");
    EXPECT_EQ(FK_ERROR, third.m_eAnswer) << "the silent one was spent";
    EXPECT_FALSE(third.m_bSplit) << "split ran out after two";

    faults.set(fault("*", FK_DROP)); // replaces the error of "*"
    EXPECT_EQ(FK_DROP, faults.onCommand("AT").m_eAnswer);
    faults.set(fault("name:02a0c7a1b2c3r", FK_SILENT, 0, 0, 1));
    EXPECT_TRUE(faults.nameQuerySilent("AT*AGND=02a0c7a1b2c3r"));
    EXPECT_FALSE(faults.nameQuerySilent("AT*AGND=02a0c7a1b2c4r"));
    EXPECT_EQ(3u, faults.active().size()) << "*=drop, AGI=delay and the name fault";

    EXPECT_TRUE(faults.clear("AGI"));
    EXPECT_FALSE(faults.clear("AGI"));
    EXPECT_FALSE(faults.onCommand("AT*AGI=2,10,15").m_ulDelayMs);
    faults.clearAll();
    EXPECT_TRUE(faults.active().empty());
    EXPECT_FALSE(faults.onCommand("AT").m_bAnswerFault);
}

TEST(SimFaultsTest, TriggersFireOnceAtTheirOccurrence)
{
    SimFaultsC faults;
    int nFired = 0;
    faults.addTrigger("AT", 2, [&nFired] { ++nFired; });
    std::vector<SimFaultsC::ActionT> vecDue;
    faults.takeTriggered("AT", vecDue);
    faults.takeTriggered("AT*AGI=2,10,15", vecDue);
    EXPECT_TRUE(vecDue.empty());
    faults.takeTriggered("AT", vecDue);
    faults.takeTriggered("AT", vecDue);
    ASSERT_EQ(1u, vecDue.size()) << "the second AT, once";
    vecDue[0]();
    EXPECT_EQ(1, nFired);
    EXPECT_EQ(0u, faults.triggerCount());
}

} // namespace
