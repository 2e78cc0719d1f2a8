// The DFU status requests and the state recovery that opens every download: the requests
// on the wire, the messages, the waits, and when the download may begin.
#include "dfu/DfuFixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace dfu = camera::dfu;

const std::string kTransferOneBlock = "Transfer Length : 4096.\r\n";

class DfuStatusTest : public DfuTest {
 protected:
  // A ROM device in this state and status, and a one-block download to it.
  BOOLEAN Recover(uint8_t state, uint8_t status = dfu::kStatusOk,
                  camera::DfuMisbehaviour misbehaviour = {}, camera::DfuConfig config = {}) {
    misbehaviour.initialState = state;
    misbehaviour.initialStatus = status;
    rom = AttachRom(config, misbehaviour);
    return Dump(Io(), DfuPayload(4096));
  }
  // The messages before the transfer began (all of them when it did not).
  std::vector<std::string> RecoveryLog() const {
    std::vector<std::string> log = Log();
    return {log.begin(), std::find(log.begin(), log.end(), kTransferOneBlock)};
  }
  // The requests before the first block.
  std::vector<WireRequest> RecoveryWire() const {
    std::vector<WireRequest> wire = Wire();
    return {wire.begin(), std::find(wire.begin(), wire.end(), BlockRequest(0, 4096))};
  }
  bool TransferBegan() const { return Count(BlockRequest(0, 4096)) == 1; }

  std::shared_ptr<camera::Camera> rom;
};

// ---------------------------------------------------------------- the three requests

TEST_F(DfuStatusTest, ClearStatusAndAbortReachTheDeviceWithoutDataStage) {
  // Host controllers refuse an OUT data stage of zero bytes before it reaches the device.
  rom = AttachRom({}, {.initialState = dfu::kDfuError, .initialStatus = dfu::kErrWrite});
  EXPECT_TRUE(DFUClearStatus(Io(), 0));
  EXPECT_EQ(rom->Rom()->State(), dfu::kDfuIdle);
  EXPECT_TRUE(DFUAbort(Io(), 0));
  EXPECT_THAT(Wire(), ElementsAre(ClearStatusRequest(0), AbortRequest(0)));
  for (const sim::Transfer &t : Transfers()) {
    EXPECT_TRUE(t.reachedDevice);
    EXPECT_EQ(t.dataLength, 0u);
  }
}

TEST_F(DfuStatusTest, EachFailedRequestLogsItsThreeLines) {
  rom = AttachRom();
  P.Usb().FailTransfer(0, EFI_DEVICE_ERROR, EFI_USB_ERR_STALL);
  P.Usb().FailTransfer(1, EFI_SUCCESS, EFI_USB_ERR_CRC);  // a USB error alone is a failure
  P.Usb().FailTransfer(2, EFI_TIMEOUT, EFI_USB_NOERROR);
  DFUStatus answer{};
  EXPECT_FALSE(DFUGetStatus(Io(), &answer, DFU_STATUS_LENGTH, 0));
  EXPECT_FALSE(DFUClearStatus(Io(), 0));
  EXPECT_FALSE(DFUAbort(Io(), 0));
  std::vector<std::string> expected =
      StatusRequestFailure("DFU_GETSTATUS", Io(), "Device Error", "0x2");
  expected = Join(expected, StatusRequestFailure("DFUClearStatus", Io(), "Success", "0x20"));
  expected = Join(expected, StatusRequestFailure("DFUAbort", Io(), "Time out", "0x0"));
  EXPECT_THAT(Log(), ElementsAreArray(expected));
}

// ---------------------------------------------------------------- recovery by state

TEST_F(DfuStatusTest, IdleDeviceIsAskedOnceAndItsPollTimeoutWaited) {
  EXPECT_TRUE(Recover(dfu::kDfuIdle, dfu::kStatusOk, {}, {.blockBusyMs = 0, .pollTimeoutMs = 30}));
  EXPECT_THAT(RecoveryWire(), ElementsAre(GetStatusRequest()));
  EXPECT_THAT(RecoveryLog(), ElementsAre("Idle\r\n"));
  EXPECT_THAT(P.Stalls(), ElementsAre(30000));  // the poll after the block stops at once
}

TEST_F(DfuStatusTest, ErrorIsClearedAndTheDeviceAskedAgainWithoutWaitsForZeroTimeouts) {
  EXPECT_TRUE(Recover(dfu::kDfuError, dfu::kErrWrite, {}, {.blockBusyMs = 0}));
  EXPECT_THAT(RecoveryWire(),
              ElementsAre(GetStatusRequest(), ClearStatusRequest(), GetStatusRequest()));
  EXPECT_THAT(RecoveryLog(), ElementsAre("DFU Error -> Retry\r\n", "Idle\r\n"));
  EXPECT_THAT(P.Stalls(), IsEmpty());
}

TEST_F(DfuStatusTest, InterruptedDownloadIsAborted) {
  EXPECT_TRUE(Recover(dfu::kDnloadIdle));
  EXPECT_THAT(RecoveryWire(), ElementsAre(GetStatusRequest(), AbortRequest(), GetStatusRequest()));
  EXPECT_THAT(RecoveryLog(), ElementsAre("DFU Idle Error -> Retry\r\n", "Idle\r\n"));
}

TEST_F(DfuStatusTest, RuntimeStateIsReportedAndTheTransferTriedAnyway) {
  EXPECT_FALSE(Recover(dfu::kAppIdle));  // a run-time device refuses the block
  EXPECT_THAT(RecoveryLog(), ElementsAre("Device still in Runtime Mode!\r\n"));
  EXPECT_TRUE(TransferBegan());
  EXPECT_TRUE(HasRun(Log(), {"VendorSetCmd DFUWriteFW_4C15 fail!!\r\n"}));
}

TEST_F(DfuStatusTest, BusyDeviceIsAnOtherStateAndNotWaitedFor) {
  EXPECT_FALSE(Recover(dfu::kDnBusy, dfu::kStatusOk, {}, {.pollTimeoutMs = 0}));
  EXPECT_THAT(RecoveryLog(), ElementsAre("Other State = 4.\r\n"));
  EXPECT_THAT(RecoveryWire(), ElementsAre(GetStatusRequest()));
  EXPECT_TRUE(TransferBegan());
}

TEST_F(DfuStatusTest, ShortAnswerReadsAsZeros) {
  P.Usb().ShortAnswersFail(false);  // a host controller that reports short answers as success
  // One byte: bStatus 0, then bState read as 0, appIDLE.
  Recover(dfu::kDfuIdle, dfu::kStatusOk, {.statusAnswerLength = 1});
  EXPECT_THAT(RecoveryLog(), ElementsAre("Device still in Runtime Mode!\r\n"));
  EXPECT_TRUE(TransferBegan());
}

// ---------------------------------------------------------------- the status re-check

TEST_F(DfuStatusTest, ErrorStatusLeftAfterTheLoopIsClearedBeforeTheTransfer) {
  // The loop's DFU_CLRSTATUS is lost (stalled before the device sees it); the re-check's
  // clears the error.
  rom = AttachRom({.blockBusyMs = 0, .pollTimeoutMs = 7},
                  {.initialState = dfu::kDfuError, .initialStatus = dfu::kErrWrite});
  rom->Misbehave().stalls.push_back({camera::Request(0x21, dfu::kClrStatus), 0, 1});
  EXPECT_TRUE(Dump(Io(), DfuPayload(4096)));
  EXPECT_THAT(RecoveryWire(), ElementsAre(GetStatusRequest(), ClearStatusRequest(),
                                          ClearStatusRequest(), GetStatusRequest()));
  const std::vector<std::string> refused =
      StatusRequestFailure("DFUClearStatus", Io(), "Device Error", "0x2");
  EXPECT_THAT(RecoveryLog(), ElementsAreArray(Join(refused, {"error clear_status!\r\n"})));
  EXPECT_THAT(P.Stalls(), ElementsAre(7000, 7000));  // after each answer
}

TEST_F(DfuStatusTest, ErrorStatusInIdleIsNoDfuStateAndItsClearIsRefused) {
  // A DFU 1.1 device carries an error status only in dfuERROR and takes DFU_CLRSTATUS only
  // there: the re-check's request in dfuIDLE is stalled and the download does not begin.
  EXPECT_FALSE(Recover(dfu::kDfuIdle, dfu::kErrWrite));
  const std::vector<std::string> refused =
      StatusRequestFailure("DFUClearStatus", Io(), "Device Error", "0x2");
  EXPECT_THAT(RecoveryLog(), ElementsAreArray(Join(Join({"Idle\r\n"}, refused),
                                                   {"USB communication error\r\n"})));
  EXPECT_EQ(rom->Rom()->State(), dfu::kDfuError);
  EXPECT_FALSE(TransferBegan());
}

TEST_F(DfuStatusTest, ErrorStatusThatStaysEndsTheDownload) {
  EXPECT_FALSE(Recover(dfu::kDfuIdle, dfu::kErrWrite, {.stuck = true}));
  EXPECT_THAT(RecoveryLog(), ElementsAre("Idle\r\n", "Status is not OK: 3.\r\n"));
  EXPECT_FALSE(TransferBegan());
  EXPECT_EQ(accumulator, 2u);
  EXPECT_THAT(progress.percents, IsEmpty());
}

TEST_F(DfuStatusTest, RejectedClearStatusIsTriedOnceMoreThenEndsTheDownload) {
  EXPECT_FALSE(Recover(dfu::kDfuError, dfu::kErrWrite, {.rejectClearStatus = true}));
  std::vector<std::string> expected =
      StatusRequestFailure("DFUClearStatus", Io(), "Device Error", "0x2");
  expected.push_back("error clear_status!\r\n");
  expected = Join(expected, StatusRequestFailure("DFUClearStatus", Io(), "Device Error", "0x2"));
  expected.push_back("USB communication error\r\n");
  EXPECT_THAT(RecoveryLog(), ElementsAreArray(expected));
}

TEST_F(DfuStatusTest, FailedFirstStatusEndsTheDownloadUntouched) {
  rom = AttachRom();
  P.Usb().FailMatching({.bRequest = DFU_GETSTATUS}, EFI_DEVICE_ERROR, EFI_USB_ERR_STALL);
  EXPECT_FALSE(Dump(Io(), DfuPayload(4096)));
  EXPECT_THAT(Log(), ElementsAreArray(
                         Join(StatusRequestFailure("DFU_GETSTATUS", Io(), "Device Error", "0x2"),
                              {"GetStatus fail!!\r\n"})));
  EXPECT_EQ(accumulator, 2u);
  EXPECT_THAT(progress.percents, IsEmpty());
}

// ---------------------------------------------------------------- bounds

TEST_F(DfuStatusTest, DeviceStuckInErrorIsGivenUpAfterEightRetries) {
  EXPECT_FALSE(Recover(dfu::kDfuError, dfu::kErrWrite, {.stuck = true}));
  EXPECT_EQ(Count(GetStatusRequest()), 9u);
  EXPECT_EQ(Count(ClearStatusRequest()), 8u);
  std::vector<std::string> log = RecoveryLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "DFU Error -> Retry\r\n"), 8);
  EXPECT_EQ(log.back(), "DFU device still in state 10 after 8 retries\r\n");
  EXPECT_FALSE(TransferBegan());
}

TEST_F(DfuStatusTest, PollTimeoutBeyondTheWaitBudgetIsNotWaited) {
  EXPECT_FALSE(Recover(dfu::kDfuIdle, dfu::kStatusOk, {}, {.pollTimeoutMs = 0xFFFFFF}));
  EXPECT_THAT(RecoveryLog(),
              ElementsAre("DFU device asks for a wait of 16777215 ms, only 60000 ms of 60000 "
                          "are left\r\n"));
  EXPECT_THAT(P.Stalls(), IsEmpty());
}

}  // namespace
