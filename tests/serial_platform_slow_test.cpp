// The serial read time-out of the platform on real pseudo-terminals: it waits
// on real time.
#include "PtyPair.h"

namespace {

using namespace ptytest;

using SerialPlatformSlowTest = PtyPairFixture;

TEST_F(SerialPlatformSlowTest, ReadTimeOutEndsAReadWithWhatHasArrived)
{
    setTimeouts({0, 0, 200, 0, 0});
    for (const char* pszQueued : {"", "12345"}) {
        SCOPED_TRACE(pszQueued);
        peerWrite(pszQueued);
        char szBuffer[100];
        DWORD dwRead = 0;
        const auto start = ClockT::now();
        EXPECT_TRUE(ReadFile(m_hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr));
        const long nMs = msSince(start);
        EXPECT_EQ(pszQueued, std::string(szBuffer, dwRead));
        EXPECT_GE(nMs, 195);
        EXPECT_LT(nMs, 600);
    }
}

} // namespace
