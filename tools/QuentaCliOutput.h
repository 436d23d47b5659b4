// quenta's results on standard output, as plain text (one item a line) or as
// one JSON object, and its messages on standard error.
#pragma once

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

struct PortEntryS
{
    std::string m_strPath;
    std::string m_strTarget; // where a symbolic link points, else empty
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

#if defined(_WIN32)
// The system's message for a Win32 error code, in UTF-8, without the closing
// full stop.
std::string win32ErrorText(unsigned long ulError);
#endif

class OutputC
{
public:
    OutputC(bool bJson, std::FILE* pOut, std::FILE* pErr);

    void devices(const std::vector<std::string>& vecNames);
    void paired(const std::string& strName);
    // strDone is for people; JSON gets {"ok":true}.
    void ok(const std::string& strDone);
    void ports(const std::vector<PortEntryS>& vecPorts, const ComMappingS& com8);
    void version(const std::string& strVersion);
    // The message goes to standard error; with --json a failure object also
    // goes to standard output, so that scripts reading it always get one.
    void failure(int nExitCode, const std::string& strMessage);
    void note(const std::string& strMessage);

private:
    void line(const std::string& strText);

    bool m_bJson;
    std::FILE* m_pOut;
    std::FILE* m_pErr;
};

} // namespace CLI
} // namespace QUENTA
