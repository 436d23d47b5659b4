// The simulator's statement language: one statement a line, the same in
// quenta-sim's --fault and --statement options, its scenario file and its
// control channel. Parsing checks a statement whole, so that nothing is
// applied of a statement (or a scenario) that has a fault anywhere.
//
//   fault TARGET=KIND[:ARG][@N][*M]   TARGET a command word, * or name:ADDRESS;
//                                     KIND error|silent|drop|garbage[:BYTES]|
//                                     split[:PIECES]|delay:MS|vanish
//   clear TARGET | clear all          remove faults (clear all: triggers too)
//   device add ADDRESS CLASS NAME...  device remove ADDRESS | devices clear
//   set scan-ms|name-ms|restart-ms|guard-ms|split-gap-ms MS
//   set echo|answer-noise|strict-rtscts on|off
//   set baud RATE | set rtscts on|off    the module's settings, active and stored
//   mode data|command|production     vanish | return | state
//   peer TEXT | garbage [TEXT]        bytes to the host now (\r \n \t \\ \xHH)
//   on WORD[#N]: STATEMENT            once, at the Nth line with WORD from now
// Blank lines and lines starting with '#' are no statements (ST_NONE).
#ifndef SIM_STATEMENTS_H
#define SIM_STATEMENTS_H

#include "SIM_CommandSet.h"
#include "SIM_Faults.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace QUENTA {
namespace SIM {

enum SimStatementTypeE
{
    ST_NONE, // blank or a comment
    ST_FAULT,
    ST_CLEAR,
    ST_CLEAR_ALL,
    ST_DEVICE_ADD,
    ST_DEVICE_REMOVE,
    ST_DEVICES_CLEAR,
    ST_SET,
    ST_MODE,
    ST_VANISH,
    ST_RETURN,
    ST_PEER,
    ST_GARBAGE,
    ST_STATE,
    ST_ON
};

enum SimSettingE
{
    SET_SCAN_MS,
    SET_NAME_MS,
    SET_RESTART_MS,
    SET_GUARD_MS,
    SET_SPLIT_GAP_MS,
    SET_ECHO,
    SET_ANSWER_NOISE,
    SET_STRICT_RTSCTS,
    SET_BAUD,
    SET_RTSCTS
};

struct SimStatementS
{
    SimStatementTypeE m_eType = ST_NONE;
    std::string m_strText;   // as written, trimmed
    size_t m_unLine = 0;     // in its script, from 1 (parseScript)
    SimFaultS m_fault;       // fault
    std::string m_strTarget; // clear
    SimDeviceS m_device;     // device add; device remove (address only)
    SimSettingE m_eSetting = SET_SCAN_MS;
    uint32_t m_ulValue = 0; // set: a number, or 1 for on and 0 for off
    SimModeE m_eMode = SM_DATA;
    std::string m_strBytes; // peer, garbage (empty: random bytes)
    std::string m_strWord;  // on
    uint32_t m_unOccurrence = 1;
    std::shared_ptr<const SimStatementS> m_pThen; // on: what then runs
};

// Parses one line; strError names the problem when it fails.
bool parseStatement(const std::string& strLine, SimStatementS& statement, std::string& strError);

// Parses every line of a script; on the first bad line, unErrorLine (from 1)
// and strError name it and vecStatements is left empty. ST_NONE lines are
// left out.
bool parseScript(const std::string& strText, std::vector<SimStatementS>& vecStatements,
                 size_t& unErrorLine, std::string& strError);

// "\r\n" and the like to bytes; false on a bad escape.
bool unescapeText(const std::string& strText, std::string& strBytes, std::string& strError);

} // namespace SIM
} // namespace QUENTA

#endif
