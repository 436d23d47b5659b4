// quenta's results on standard output, as plain text (one item a line) or as
// one JSON object, and its messages on standard error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace QUENTA {
namespace CLI {

// A JSON string literal, quotes included. Bytes that are not valid UTF-8 are
// taken as Latin-1, so the result is always valid JSON.
std::string jsonString(const std::string& strText);

// Text from outside (a name, a path) as a message shows it: control
// characters as \xNN, and cut after a screenful with "..." (never inside a
// UTF-8 character), so that it can neither steer the terminal nor flood it.
std::string shown(const std::string& strText);
// One byte as shown: itself, or \xNN for a control character.
std::string shownByte(char cByte);

// What `ports --probe` found on a device: the first line setting at which
// the module's ping was answered, or why there is none.
enum ProbeResultE
{
    PR_NOT_PROBED,
    PR_ANSWERED_921600_RTSCTS,
    PR_ANSWERED_115200,
    PR_NO_ANSWER,
    PR_IN_USE, // held by another program: opened by nobody, sent nothing
    PR_FAILED  // could not be opened or set up; m_strError says why
};

struct ProbeS
{
    ProbeResultE m_eResult = PR_NOT_PROBED;
    std::string m_strError; // PR_FAILED: why; PR_NO_ANSWER: a setting the device refused
};

// A serial device and what the system knows of it; empty fields are unknown
// (or not offered by the system, as on Windows).
struct PortEntryS
{
    std::string m_strPath;
    std::string m_strTarget;             // where a symbolic link points, else empty
    std::vector<std::string> m_vecLinks; // /dev/serial/by-id/*, /dev/serial/by-path/*
    std::string m_strDescription;        // USB interface or product string; the UART
    std::string m_strManufacturer;
    std::string m_strVendorId; // USB, 4 hex digits
    std::string m_strProductId;
    std::string m_strSerial;
    std::string m_strDriver;
    ProbeS m_probe;
};

// A command as a reference lists it: its form and what it does.
struct CommandFormS
{
    std::string m_strForm;
    std::string m_strDoes;
};

struct ComMappingS
{
    std::string m_strPath;
    std::string m_strSource; // "--port", "QUENTA_PORT_COM8", "default"; "system" on Windows
    std::string m_strTarget; // the device behind it where the system names one, else empty
    bool m_bExists = false;
};

// Sets up the standard streams for the tool's output (before any of it).
void prepareStandardStreams();

// Keeps standard output for the results alone: returns a stream on it and
// points the descriptor everyone else writes to (the library's "printf"
// traces among them) at standard error.
std::FILE* reserveStandardOutput();

bool standardInputIsTerminal();

#if defined(_WIN32)
// The system's message for a Win32 error code, in UTF-8, without the closing
// full stop.
std::string win32ErrorText(unsigned long ulError);
#endif

class OutputC
{
public:
    OutputC(bool bJson, std::FILE* pOut, std::FILE* pErr);

    // JSON fields that every following object starts with ("\"line\":3,"), so
    // that the shell's answers say what they answer; empty for none.
    void setContext(const std::string& strFields) { m_strContext = strFields; }

    // unUnreadNames: devices found whose names could not be read; JSON only
    // (text says it on standard error beforehand).
    void devices(const std::vector<std::string>& vecNames, uint32_t unUnreadNames);
    void paired(const std::string& strName);
    void pairedWith(const std::string& strName);
    // strDone is for people; JSON gets {"ok":true}.
    void ok(const std::string& strDone);
    // com8Probe is for the device "COM8:" stands for when it is not among
    // vecPorts.
    void ports(const std::vector<PortEntryS>& vecPorts, const ComMappingS& com8,
               const ProbeS& com8Probe = ProbeS());
    // The module's answer to a line of `quenta at`, as received.
    void answer(const std::string& strAnswer);
    void version(const std::string& strVersion, const std::string& strLibrary);
    // A heading and the commands in two columns; JSON: {"commands":[...]}.
    void commandList(const std::string& strHeading, const std::vector<CommandFormS>& vecCommands);
    // The message goes to standard error; with --json a failure object also
    // goes to standard output, so that scripts reading it always get one.
    // A module's answer that came with the failure goes into the object too,
    // and the cause's name when there is one (QUENTA_Session.h).
    void failure(int nExitCode, const std::string& strMessage,
                 const std::string& strAnswer = std::string(),
                 const std::string& strCause = std::string());
    void note(const std::string& strMessage);

private:
    void line(const std::string& strText);

    bool m_bJson;
    std::string m_strContext;
    std::FILE* m_pOut;
    std::FILE* m_pErr;
};

} // namespace CLI
} // namespace QUENTA
