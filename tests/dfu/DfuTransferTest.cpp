// The image download: the length sent, the blocks and their polls, progress, and every way
// a download ends early.
#include "dfu/DfuFixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace dfu = camera::dfu;

class DfuTransferTest : public DfuTest {
 protected:
  void SetUp() override {
    DfuTest::SetUp();
    rom = AttachRom({.blockBusyMs = 20});
  }
  // The blocks on the wire, in order: (wValue, wLength).
  std::vector<std::pair<int, int>> Blocks() const {
    std::vector<std::pair<int, int>> blocks;
    for (const sim::Transfer &t : Transfers()) {
      if (t.setup.Request == DFU_DNLOAD && t.setup.Length != 0) {
        blocks.emplace_back(t.setup.Value, t.setup.Length);
      }
    }
    return blocks;
  }

  std::shared_ptr<camera::Camera> rom;
};

// ---------------------------------------------------------------- length

TEST_F(DfuTransferTest, LengthSentFollowsTheImagesOwnRules) {
  capfmt::Bytes capped(200000, 0);
  capped[0] = 3;
  capped[4] = 30;  // 31 blocks
  EXPECT_EQ(DFUTransferLength(capped.data(), 200000), 126976);
  EXPECT_EQ(DFUTransferLength(capped.data(), 100000), 100000);
  EXPECT_EQ(DFUTransferLength(capped.data(), 126992), 126976);  // capped, then nothing to drop
  capped[4] = 0xFF;                                             // n = -1: nothing
  EXPECT_EQ(DFUTransferLength(capped.data(), 100000), 0);
  const capfmt::Bytes plain = DfuPayload(16);
  EXPECT_EQ(DFUTransferLength(plain.data(), 126992), 126976);  // 16 over a multiple of 1024
  EXPECT_EQ(DFUTransferLength(plain.data(), 126993), 126993);
  EXPECT_EQ(DFUTransferLength(plain.data(), 16), 0);
}

// ---------------------------------------------------------------- blocks and progress

TEST_F(DfuTransferTest, ThirtyOneBlocksThenTheFinalRequest) {
  const capfmt::Bytes payload = DfuPayload(126976);
  ASSERT_TRUE(Dump(Io(), payload));

  std::vector<WireRequest> expected{GetStatusRequest()};
  for (uint16_t block = 0; block < 31; block++) {
    // dfuDNBUSY with 20 ms, then dfuDNLOAD-IDLE after the wait.
    expected.insert(expected.end(),
                    {BlockRequest(block, 4096), GetStatusRequest(), GetStatusRequest()});
  }
  expected.push_back(FinalRequest(31));
  EXPECT_THAT(Wire(), ElementsAreArray(expected));
  EXPECT_EQ(rom->Rom()->Image(), payload);
  EXPECT_TRUE(rom->Rom()->Manifested());
  EXPECT_THAT(P.Stalls(), ElementsAreArray(std::vector<uint64_t>(31, 20000)));

  EXPECT_THAT(progress.percents, ElementsAreArray(Join(Steps(5, 3, 95), {98})));
  EXPECT_EQ(accumulator, 98u);
  std::vector<std::string> log = Log();
  EXPECT_THAT(
      log, ElementsAre("Idle\r\n", "Transfer Length : 126976.\r\n",
                       "[DFUDump]Transfer Final transaction = 31\r\n", "DFUWriteFW_4C15 OK!\r\n"));
}

TEST_F(DfuTransferTest, ShortLastBlockStillGetsAShare) {
  const capfmt::Bytes payload = DfuPayload(126976 + 100);
  ASSERT_TRUE(Dump(Io(), payload));
  EXPECT_EQ(Blocks().size(), 32u);
  EXPECT_EQ(Blocks().back(), std::make_pair(31, 100));
  EXPECT_EQ(Count(FinalRequest(32)), 1u);
  EXPECT_EQ(rom->Rom()->Image(), payload);
  EXPECT_THAT(progress.percents, ElementsAreArray(Join(Steps(5, 3, 98), {98})));
}

TEST_F(DfuTransferTest, ImageShorterThanABlockIsOneBlockWithTheWholeBudget) {
  ASSERT_TRUE(Dump(Io(), DfuPayload(1000)));
  EXPECT_THAT(Blocks(), ElementsAre(std::make_pair(0, 1000)));
  EXPECT_THAT(progress.percents, ElementsAre(98, 98));
}

TEST_F(DfuTransferTest, NothingToSendSendsNothing) {
  capfmt::Bytes payload = DfuPayload(8192);
  payload[0] = 3;
  payload[4] = 0xFF;  // (n + 1) blocks with n = -1
  EXPECT_FALSE(Dump(Io(), payload));
  EXPECT_THAT(Log(),
              ElementsAre("Idle\r\n", "Transfer Length : 0.\r\n", "Nothing to transfer\r\n"));
  EXPECT_THAT(Wire(), ElementsAre(GetStatusRequest()));
  EXPECT_EQ(accumulator, 2u);
  EXPECT_THAT(progress.percents, IsEmpty());
}

TEST_F(DfuTransferTest, BudgetBelowTheBlockCountGoesWhollyToTheEnd) {
  const capfmt::Bytes payload = DfuPayload(5 * 4096);
  KV_PROGRESS reporter = {&progress, 0};
  ASSERT_TRUE(DFUDump(Io(), payload.data(), (INT32)payload.size(), &accumulator, 4, &reporter));
  EXPECT_THAT(progress.percents, ElementsAre(2, 2, 2, 2, 2, 6));  // share 0 each block
  EXPECT_EQ(accumulator, 6u);
}

// ---------------------------------------------------------------- early ends

TEST_F(DfuTransferTest, ErrorStatusAfterABlockEndsBeforeTheFinalRequest) {
  rom->Misbehave().dfu.errorAfterBlock = 2;
  EXPECT_FALSE(Dump(Io(), DfuPayload(126976)));
  EXPECT_THAT(Blocks().size(), 3u);
  EXPECT_EQ(Count(FinalRequest(3)), 0u);
  std::vector<std::string> log = Log();
  EXPECT_THAT(
      std::vector<std::string>(log.end() - 2, log.end()),
      ElementsAre("offset = 12288, remainLen = 114688 \r\n", "bStatus != DFU_STATUS_OK !!\r\n"));
  EXPECT_EQ(accumulator, 2u + 3 * 3);
}

TEST_F(DfuTransferTest, FailedBlockKeepsItsShareAndSendsNothingMore) {
  P.Usb().FailMatching({.bmRequestType = 0x21, .bRequest = DFU_DNLOAD, .wValue = 3},
                       EFI_DEVICE_ERROR, EFI_USB_ERR_STALL);
  EXPECT_FALSE(Dump(Io(), DfuPayload(126976)));
  std::vector<std::string> log = Log();
  EXPECT_THAT(std::vector<std::string>(log.end() - 2, log.end()),
              ElementsAre("VendorSetCmd DFUWriteFW_4C15 fail!!\r\n",
                          "offset = 12288, remainLen = 114688, byteToWrite = 4096, nLength = "
                          "126976!!\r\n"));
  EXPECT_EQ(Wire().back(), BlockRequest(3, 4096));  // no abort, no clear
  EXPECT_EQ(accumulator, 2u + 4 * 3);
  EXPECT_EQ(progress.percents.back(), 14u);
}

// ---------------------------------------------------------------- bounds

TEST_F(DfuTransferTest, DeviceThatStaysBusyIsPolledAtMostFiveHundredTimes) {
  rom->Settings().dfu.blockBusyMs = 0;
  rom->Misbehave().dfu.stayBusy = true;
  EXPECT_FALSE(Dump(Io(), DfuPayload(126976)));
  EXPECT_EQ(Count(GetStatusRequest()), 1u + 500);
  EXPECT_EQ(Log().back(), "DFU device still in state 4 after 500 polls of block 0\r\n");
  EXPECT_EQ(accumulator, 5u);
}

TEST_F(DfuTransferTest, SlowDeviceCannotHoldTheBootPastTheWaitBudget) {
  rom->Settings().dfu.blockBusyMs = 1000;
  rom->Misbehave().dfu.stayBusy = true;
  const uint64_t start = P.NowUs();
  EXPECT_FALSE(Dump(Io(), DfuPayload(126976)));
  EXPECT_EQ(P.NowUs() - start, uint64_t{DFU_WAIT_BUDGET_MS} * 1000);
  EXPECT_EQ(Log().back(), "DFU device asks for a wait of 1000 ms, only 0 ms of 60000 are left\r\n");
  EXPECT_EQ(accumulator, 5u);
}

}  // namespace
