// Every control transfer of a whole update run made to fail in turn, through the entry
// point, in the two ways a transfer fails: an EFI error (the transfer never completed) and a
// non-zero USB status with EFI_SUCCESS (the host controller saw a bus error). Each run ends
// as the entry point documents: a fault during discovery may hide the camera (nothing
// matched, nothing touched) or change the way it is updated; a fault during the update
// either is survived, with the camera holding the new firmware, or fails the update with
// the procedure's error.
#include <gtest/gtest.h>

#include "robustness/Sweep.h"

namespace robustness {
namespace {

struct TransferFault {
  const char *name;
  EFI_STATUS status;
  uint32_t usbStatus;
};
const TransferFault kFaults[] = {
    {"EFI_DEVICE_ERROR", EFI_DEVICE_ERROR, EFI_USB_NOERROR},
    {"USB status CRC with EFI_SUCCESS", EFI_SUCCESS, EFI_USB_ERR_CRC},
};

class TransferSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(TransferSweep, EachFailedTransferEndsTheRunAsDocumented) {
  const SweepCase &sweepCase = GetParam();
  const capfmt::Bytes capsule = scenario::SampleCapsule(sweepCase.path, SweepPayloadLength());
  const SweepRun clean = RunCase(sweepCase, capsule);
  ASSERT_EQ(ExpectSound(clean, "clean run"), Ending::Updated);
  ASSERT_TRUE(clean.reachedLoop);

  const std::vector<sim::Transfer> &transfers = clean.outcome.transferLog;
  for (const TransferFault &kind : kFaults) {
    SweepCount count{std::string(sweepCase.name) + " transfers failing with " + kind.name};
    for (size_t i = 0; i < transfers.size(); i++) {
      const sim::Transfer &t = transfers[i];
      const SweepRun run = RunCase(sweepCase, capsule, Fault([&](sim::Platform &p) {
                                     p.Usb().FailTransfer(i, kind.status, kind.usbStatus);
                                   }));
      const bool discovery = i < clean.transfersBeforeLoop;
      const std::string fault = "transfer " + std::to_string(i) + " of " +
                                std::to_string(transfers.size()) + " (" + SetupText(t.setup) +
                                (discovery ? ", discovery" : ", update") + ") fails with " +
                                kind.name;
      ASSERT_GT(run.outcome.transferLog.size(), i) << fault << ": never reached";
      const sim::Transfer &faulted = run.outcome.transferLog[i];
      ASSERT_FALSE(faulted.reachedDevice) << fault;
      ASSERT_EQ(faulted.status, kind.status) << fault;
      ASSERT_EQ(faulted.setup.RequestType, t.setup.RequestType) << fault << ": another transfer";
      ASSERT_EQ(faulted.setup.Request, t.setup.Request) << fault << ": another transfer";

      const Ending ending = ExpectSound(run, fault);
      ExpectTransferFaultEnding(ending, discovery, fault);
      count.Add(run, ending);
    }
    EXPECT_EQ(count.points, transfers.size());
    Report(count);
  }
}

INSTANTIATE_TEST_SUITE_P(EntryPoint, TransferSweep, ::testing::ValuesIn(SweepCases()), CaseName);

}  // namespace
}  // namespace robustness
