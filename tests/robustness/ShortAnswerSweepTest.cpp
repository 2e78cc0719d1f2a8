// Every device answer of a whole update run shortened in turn, through the entry point: the
// device takes the request and acts on it, but its IN data stage delivers one byte less than
// it should, or nothing. Each short answer is tried on both kinds of host controller: one
// that fails the transfer (EFI_DEVICE_ERROR, USB status 0, as OVMF does) and one that
// reports success and leaves the caller to find out. Either way the run ends as the entry
// point documents, and never reports success for a camera without the new firmware.
#include <gtest/gtest.h>

#include "robustness/Sweep.h"

namespace robustness {
namespace {

struct Shortening {
  const char *name;
  bool toNothing;         // deliver no byte at all; else one byte less
  bool shortAnswersFail;  // the host controller fails a short data stage
};
const Shortening kShortenings[] = {
    {"one byte short, failed by the controller", false, true},
    {"one byte short, passed as success", false, false},
    {"empty, failed by the controller", true, true},
    {"empty, passed as success", true, false},
};

class ShortAnswerSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(ShortAnswerSweep, EachShortenedAnswerEndsTheRunAsDocumented) {
  const SweepCase &sweepCase = GetParam();
  const capfmt::Bytes capsule = scenario::SampleCapsule(sweepCase.path, SweepPayloadLength());
  const SweepRun clean = RunCase(sweepCase, capsule);
  ASSERT_EQ(ExpectSound(clean, "clean run"), Ending::Updated);
  ASSERT_TRUE(clean.reachedLoop);

  const std::vector<sim::Transfer> &transfers = clean.outcome.transferLog;
  size_t answers = 0;
  for (const sim::Transfer &t : transfers) answers += Answered(t) ? 1 : 0;
  ASSERT_GT(answers, 0u);

  for (const Shortening &kind : kShortenings) {
    SweepCount count{std::string(sweepCase.name) + " answers " + kind.name};
    for (size_t i = 0; i < transfers.size(); i++) {
      const sim::Transfer &t = transfers[i];
      if (!Answered(t)) continue;
      const size_t length = kind.toNothing ? 0 : t.dataIn.size() - 1;
      const SweepRun run = RunCase(
          sweepCase, capsule,
          Fault([&](sim::Platform &p) { p.Usb().ShortenAnswer(i, length); },
                kind.shortAnswersFail));
      const bool discovery = i < clean.transfersBeforeLoop;
      const std::string fault = "answer to transfer " + std::to_string(i) + " (" +
                                SetupText(t.setup) + (discovery ? ", discovery" : ", update") +
                                ", " + std::to_string(t.dataIn.size()) + " bytes) " + kind.name;
      ASSERT_GT(run.outcome.transferLog.size(), i) << fault << ": never reached";
      const sim::Transfer &shortened = run.outcome.transferLog[i];
      ASSERT_TRUE(shortened.reachedDevice) << fault;
      ASSERT_EQ(shortened.dataIn.size(), length) << fault << ": not shortened";
      ASSERT_EQ(shortened.status, kind.shortAnswersFail ? EFI_DEVICE_ERROR : EFI_SUCCESS)
          << fault;

      const Ending ending = ExpectSound(run, fault);
      ExpectTransferFaultEnding(ending, discovery, fault);
      count.Add(run, ending);
    }
    EXPECT_EQ(count.points, answers);
    Report(count);
  }
}

INSTANTIATE_TEST_SUITE_P(EntryPoint, ShortAnswerSweep, ::testing::ValuesIn(SweepCases()),
                         CaseName);

}  // namespace
}  // namespace robustness
