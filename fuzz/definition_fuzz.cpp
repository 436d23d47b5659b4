// Loads arbitrary bytes as a debug definition file, under a private storage
// root. Checks what must hold whatever the file says: loading a readable file
// succeeds and never blocks (the fuzzer's time-out), every consumer it makes
// has a name, a file consumer's set stays within its limits and its file
// within the root, and loading the same file again makes no new consumer.
// The routes and files of one input are gone before the next.
#include "fuzz_support.h"

#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Dbg/NOX_DBG_LogFile.h"
#include "Nox_Dbg/NOX_DBG_LogFramework.h"
#include "Nox_Err/NOX_ERR_Codes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace NOX::DBG;
using QUENTA::FUZZ::require;

namespace {

struct PlacesS
{
    std::string strRoot;
    std::string strInput;
    int nHome = -1; // the working directory to return to
};

PlacesS& places()
{
    static PlacesS s_places;
    return s_places;
}

bool startsToken(const std::string& strText, size_t unPos)
{
    return unPos == 0 || std::string(" \t\r\n\"").find(strText[unPos - 1]) != std::string::npos;
}

// A consumer name may be any path; the fuzzer must not write outside its
// root. A separator that starts a token (an absolute path) and every ".."
// lose their meaning; drive paths ("X:\") stay, relative to the root, which
// is the working directory while a file loads.
std::string confined(const uint8_t* pData, size_t unSize)
{
    std::string strText(reinterpret_cast<const char*>(pData), unSize);
    for (size_t unPos = 0; unPos < strText.size(); ++unPos) {
        bool bSeparator = strText[unPos] == '/' || strText[unPos] == '\\';
        bool bParent = unPos > 0 && strText[unPos] == '.' && strText[unPos - 1] == '.';
        if ((bSeparator && startsToken(strText, unPos)) || bParent) {
            strText[unPos] = '_';
        }
    }
    return strText;
}

// A host path of the root or below it, with no way back up.
bool isInsideRoot(const std::string& strTargetPath)
{
    std::string strPath = strTargetPath;
    for (char& c : strPath) {
        c = c == '\\' ? '/' : c;
    }
    if (strPath.find("/../") != std::string::npos || strPath.compare(0, 3, "../") == 0) {
        return false;
    }
    const std::string& strRoot = places().strRoot;
    return strPath[0] != '/' || strPath.compare(0, strRoot.size() + 1, strRoot + "/") == 0;
}

class ConsumerCheckC : public NOX::TSK::SysComponentVisitorI
{
public:
    void visitComponent(NOX::TSK::SysComponentC*) override {}
    void enterContainer(NOX::TSK::SysComponentContainerC* pContainer) override
    {
        auto* pConsumer = dynamic_cast<DbgLogConsumerC*>(pContainer);
        if (pConsumer == nullptr) {
            return;
        }
        ++m_unConsumers;
        require(!pConsumer->getName().empty(), "a consumer without a name");
        if (auto* pFile = dynamic_cast<DbgLogFileConsumerC*>(pConsumer)) {
            checkFile(*pFile);
        }
    }
    void leaveContainer(NOX::TSK::SysComponentContainerC*) override {}

    size_t getConsumerCount() const { return m_unConsumers; }

private:
    static void checkFile(DbgLogFileConsumerC& file)
    {
        int32_t nFiles = file.getNumberOfFiles();
        require(nFiles >= 1 && nFiles <= DbgLogFileConsumerC::c_nMaxFiles,
                "a file set outside 1 to 20 files");
        // Kept in thousandths of a day.
        require(file.getMaxAge() <= DbgLogFileConsumerC::c_unMaxAgeDays * 1000u,
                "an age past its limit");
        std::string strPath = file.getPath();
        require(strPath.empty() || isInsideRoot(strPath), "a log file outside the storage root");
    }

    size_t m_unConsumers = 0;
};

size_t checkConsumers()
{
    ConsumerCheckC check;
    DbgLogMgrC::getInstance()->accept(check);
    return check.getConsumerCount();
}

void load()
{
    require(chdir(places().strRoot.c_str()) == 0, "cannot enter the storage root");
    require(loadLogRoutes(places().strInput.c_str()) == NOX::RC_OK, "a readable file not loaded");
    require(fchdir(places().nHome) == 0, "cannot return to the working directory");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string strBase = QUENTA::FUZZ::makePrivateDirectory("quenta-definition-fuzz");
    places().strRoot = strBase + "/root";
    places().strInput = strBase + "/input.def";
    require(mkdir(places().strRoot.c_str(), 0700) == 0, "cannot make the storage root");
    places().nHome = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    require(places().nHome >= 0, "cannot open the working directory");
    // Before the library's first look at the root.
    setenv("QUENTA_STORAGE_ROOT", places().strRoot.c_str(), 1);
    DbgLogFileConsumerC::setCommitEachRecord(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize)
{
    QUENTA::FUZZ::writeFile(places().strInput, confined(pData, unSize));
    load();
    size_t unConsumers = checkConsumers();
    load();
    require(checkConsumers() == unConsumers, "loading the same file again made a new consumer");
    DbgLogMgrC::getInstance()->removeAll();
    QUENTA::FUZZ::emptyDirectory(places().strRoot);
    return 0;
}
