// A full DFU update with one fault at a time: every request of the update fails once, in
// each of the two ways a transfer fails, and every pool allocation fails once. Each run
// must end with the right status and messages, within its bounded waits, with no pool left.
#include "dfu/DfuFixture.h"

namespace {

using ::testing::Combine;
using ::testing::Range;
using ::testing::Values;

// The update: a DFU-capable camera and an image of 5 whole blocks and a short one.
// Requests: allow-update, detach, the recovery status, per block the block, a busy and an
// idle status, the final request, the ROM detach.
constexpr size_t kBlocks = 6;
constexpr size_t kRequests = 2 + 1 + 3 * kBlocks + 1 + 1;
// Pool allocations: the handle buffer of each look for the ROM device and for the camera, 10
// looks each with the camera away 1 s each time (another device keeps the bus from ever
// being empty).
constexpr size_t kAllocations = 20;
// Time the update may take at worst here: two waits of 50 looks, and the download.
constexpr uint64_t kTimeBoundUs = 11'000'000;

class DfuSweep : public DfuTest {
 protected:
  void SetUp() override {
    DfuTest::SetUp();
    P.SetStallBudgetUs(kTimeBoundUs);
    P.Usb().Attach(std::make_shared<PlainDevice>());
    cam = Attach();
    io = Io();
  }
  EFI_STATUS Update() {
    const capfmt::Bytes payload = DfuPayload(5 * 4096 + 1000, {.version = 0x0203});
    return DFUFwDownload(io, 2, 0, payload.data(), payload.size(), &progress, Target());
  }

  std::shared_ptr<camera::Camera> cam;
  EFI_USB_IO_PROTOCOL *io = nullptr;
};

TEST_F(DfuSweep, CleanRunHasTheRequestsAndAllocationsTheSweepsCover) {
  ASSERT_EQ(Update(), EFI_SUCCESS);
  EXPECT_EQ(Transfers().size(), kRequests);
  EXPECT_EQ(P.AllocationCalls(), kAllocations);
  EXPECT_EQ(cam->Settings().device.bcdDevice, 0x0203);
}

// ---------------------------------------------------------------- one failed request

struct TransferFault {
  EFI_STATUS status;
  uint32_t usbStatus;
  const char *printed;  // "Status %r, UsbResult 0x%X" of the failure
};
const TransferFault kFaults[] = {
    {EFI_DEVICE_ERROR, EFI_USB_ERR_STALL, "Status Device Error, UsbResult 0x2"},
    {EFI_SUCCESS, EFI_USB_ERR_CRC, "Status Success, UsbResult 0x20"},
};

class DfuRequestSweep : public DfuSweep,
                        public ::testing::WithParamInterface<std::tuple<size_t, size_t>> {};

TEST_P(DfuRequestSweep, FailsWithItsMessagesWithinBounds) {
  const auto [index, kind] = GetParam();
  const TransferFault &fault = kFaults[kind];
  P.Usb().FailTransfer(index, fault.status, fault.usbStatus);
  ASSERT_EQ(Update(), EFI_DEVICE_ERROR);

  const std::string wrapper = std::string("KvrFmpDriver Error:SendControlRequest failed: ") +
                              fault.printed + ", entityID 0.\n";
  const std::string statusFailure =
      std::string("KvrFmpDriver Error:SendControlRequest failed: ") + fault.printed + "\n";
  std::vector<std::string> expected;
  bool romFound = true;
  const size_t blockRequest = index >= 3 && index < 3 + 3 * kBlocks ? (index - 3) % 3 : 9;
  const size_t block = (index - 3) / 3;
  if (index == 0) {
    expected = {wrapper, "VendorSetCmd DFUAllowUpdateFW_4C15 fail!!\r\n"};
    romFound = false;  // the camera takes no detach without it
  } else if (index == 1) {
    expected = {wrapper, "VendorSetCmd DetachHideDFU_4C15 fail!!\r\n"};
    romFound = false;
  } else if (index == 2) {
    expected = {statusFailure, "GetStatus fail!!\r\n"};
  } else if (blockRequest == 0) {
    const int offset = static_cast<int>(block * 4096);
    const int remain = 5 * 4096 + 1000 - offset;
    expected = {"VendorSetCmd DFUWriteFW_4C15 fail!!\r\n",
                "offset = " + std::to_string(offset) + ", remainLen = " + std::to_string(remain) +
                    ", byteToWrite = " + std::to_string(std::min(remain, 4096)) +
                    ", nLength = 21480!!\r\n"};
  } else if (blockRequest == 1 || blockRequest == 2) {
    expected = {statusFailure, "VendorSetCmd GetStatus when FW write fail!!\r\n"};
  } else if (index == kRequests - 2) {
    expected = {"VendorSetCmd DFUWriteFW_4C15 complete fail!!\r\n"};
  } else {
    ASSERT_EQ(index, kRequests - 1);
    expected = {wrapper, "VendorSetCmd DetachDFU_4C15 fail!!\r\n"};
  }
  const std::vector<std::string> log = Log();
  EXPECT_TRUE(HasRun(log, expected))
      << "transfer " << index << ": " << ::testing::PrintToString(expected);
  EXPECT_EQ(log.back(),
            romFound ? "DFUFwDownload() <=\r\n" : "Reset and can't find DFU ROM device\r\n");
  EXPECT_EQ(progress.percents.back(), romFound ? 98u : 2u);
  EXPECT_NE(cam->Settings().device.bcdDevice, 0x0203);
  EXPECT_LE(P.NowUs(), kTimeBoundUs);
}

INSTANTIATE_TEST_SUITE_P(EveryRequest, DfuRequestSweep,
                         Combine(Range<size_t>(0, kRequests), Values<size_t>(0, 1)));

// ---------------------------------------------------------------- one failed allocation

class DfuAllocationSweep : public DfuSweep, public ::testing::WithParamInterface<size_t> {};

TEST_P(DfuAllocationSweep, LookWithoutHandlesIsFollowedByTheNext) {
  P.FailAllocation(GetParam());
  EXPECT_EQ(Update(), EFI_SUCCESS);
  std::vector<std::string> log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Nunber of USB Handle is 0\r\n"), 1);
  EXPECT_EQ(cam->Settings().device.bcdDevice, 0x0203);
}

INSTANTIATE_TEST_SUITE_P(EveryAllocation, DfuAllocationSweep, Range<size_t>(1, kAllocations + 1));

}  // namespace
