// The debug channels: prefixes, the pool string behind each message, and what happens
// when that string cannot be had.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/Log.h"
#include "support/SimTest.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class DebugLogTest : public SimTest {};

TEST_F(DebugLogTest, ErrorPrefixHasNoBlankAfterItsColon) {
  LogError("Fail to %a (%r)\n", "read", EFI_DEVICE_ERROR);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:Fail to read (Device Error)\n"));
}

TEST_F(DebugLogTest, WarningInfoAndTracePrefixesEndInOneBlank) {
  LogWarning("w%d\n", 1);
  LogInfo("i%x\n", 0xAu);
  LogTrace("----> %s()\n", u"InitializeKVDescriptor");
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Warning: w1\n", "KvrFmpDriver: ia\n",
                                 "KvrFmpDriver: ----> InitializeKVDescriptor()\n"));
}

TEST_F(DebugLogTest, MessageIsBuiltInAnExactlySizedPoolStringAndFreed) {
  LogError("abc");  // "KvrFmpDriver Error:" (19) + "abc" (3) + NUL
  EXPECT_EQ(P.Pool().calls, 1u);
  EXPECT_EQ(P.Pool().peakBytes, (19u + 3u + 1u) * sizeof(CHAR16));
  EXPECT_EQ(P.Pool().outstanding, 0u);
}

TEST_F(DebugLogTest, DroppedMessageIsReplacedByTheNullPointerWarning) {
  P.FailAllocation(1);
  LogInfo("lost %d\n", 7);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Warning: Trying to free NULL pointer printStr 0\n"));
}

TEST_F(DebugLogTest, WhenTheWarningCannotBeBuiltEitherNothingIsLogged) {
  P.FailAllocation(1);
  P.FailAllocation(2);
  LogError("lost\n");
  EXPECT_THAT(Log(), IsEmpty());
  EXPECT_EQ(P.Pool().calls, 2u);  // the message and its warning, nothing more
  LogError("back\n");
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:back\n"));
}

TEST_F(DebugLogTest, DebugMessageGoesStraightToTheSinkWithoutPool) {
  DebugMessage("%a %s %r %08X\r\n", "Image", u"found", EFI_NOT_FOUND, 0x4C15u);
  EXPECT_THAT(Log(), ElementsAre("Image found Not Found 00004C15\r\n"));
  EXPECT_EQ(P.Pool().calls, 0u);
}

TEST_F(DebugLogTest, VerboseMessagesReachTheSinkOnlyWithTheSwitchOn) {
  EXPECT_FALSE(DebugPrintEnabled());
  // Pointers that would fault if the arguments were ever read.
  DebugVerbose("%s %a %d\n", (CHAR16 *)0x10, (CHAR8 *)0x20, 1);
  EXPECT_THAT(Log(), IsEmpty());
  sim::SetDebugVerbose(true);  // as the console and serial images have it
  DebugVerbose("GetDevQualify failed %r\r\n", EFI_DEVICE_ERROR);
  sim::SetDebugVerbose(false);
  EXPECT_THAT(Log(), ElementsAre("GetDevQualify failed Device Error\r\n"));
  EXPECT_EQ(P.Pool().calls, 0u);
}

}  // namespace
