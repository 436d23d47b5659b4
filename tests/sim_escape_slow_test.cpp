// The escape sequence with the real guard period of one second, timed as the
// library times it: 1100 ms of silence, "///" in one write, 1100 ms of silence.
#include "SIM_RawHost.h"
#include "SIM_SimulatedModule.h"

#include <gtest/gtest.h>

using namespace QUENTA::SIM;

TEST(SimEscapeSlowTest, AcceptsTheSequenceAsTheLibrarySendsIt)
{
    SimulatedModuleC module; // default: data mode, 115200, one-second guard
    RawHostC host;
    ASSERT_TRUE(module.start());
    ASSERT_TRUE(host.open(module.slavePath()));
    ASSERT_TRUE(host.write("AT\r"));
    EXPECT_EQ("", host.readFor(1300)) << "the ping in data mode goes unanswered";
    ASSERT_TRUE(host.write("///"));
    EXPECT_EQ("", host.readFor(1100));
    EXPECT_EQ(SM_COMMAND, module.mode());
    EXPECT_EQ("AT\r\r\nOK\r\n", host.command("AT", 200));
}
