// Every pool allocation of a whole update run made to fail in turn, through the entry
// point: the run ends as the entry point documents it, and where the allocation is one the
// driver names (the CapsuleOnRam buffer, the record, its descriptor array, the flash path's
// read-back buffer) with exactly the ending documented for it.
#include <gtest/gtest.h>

#include "driver/Driver.h"
#include "robustness/Sweep.h"

namespace robustness {
namespace {

class AllocationSweep : public ::testing::TestWithParam<SweepCase> {};

// What a failed allocation must lead to, from what it was for in the clean run.
struct Expectation {
  std::vector<Ending> allowed;
  std::string what;
};

Expectation Expected(const SweepCase &sweepCase, const SweepRun &clean, size_t n,
                     size_t payloadLength) {
  const std::vector<size_t> &sizes = clean.outcome.allocationSizes;
  const size_t size = sizes[n - 1];
  // The record is the first block of its size; the descriptor array the first of its size
  // after the record. Both come before discovery.
  const auto first = [&](size_t wanted, size_t from) {
    for (size_t i = from; i < sizes.size(); i++) {
      if (sizes[i] == wanted) return i + 1;
    }
    return size_t{0};
  };
  const size_t record = first(sizeof(FmpPrivateData), 0);
  const size_t descriptor = first(sizeof(EFI_FIRMWARE_IMAGE_DESCRIPTOR), record);
  if (n < record && sweepCase.path == scenario::Path::CapsuleOnRam) {
    return {{Ending::CapsuleNotFound}, "the CapsuleOnRam variable's buffer"};
  }
  if (n == record) return {{Ending::NoRecord}, "the private data record"};
  if (n == descriptor) return {{Ending::NoDescriptor}, "the descriptor array"};
  if (n <= clean.allocationsBeforeLoop) {
    // Discovery: the handle buffer (no camera seen: the lookup's error is the result), a
    // configuration buffer of one interface (the others still show the camera) or a message
    // string.
    return {{Ending::ScanFault, Ending::Updated}, "a block of discovery"};
  }
  if (size == payloadLength) {  // the DFU path allocates nothing of the payload's size
    return {{Ending::UpdateFailed}, "the flash path's read-back buffer"};
  }
  // The update: a message string, or the handle buffer of one look of a DFU wait (the next
  // look sees the handles).
  return {{Ending::Updated}, "a block of the update"};
}

TEST_P(AllocationSweep, EachFailedAllocationEndsTheRunAsDocumented) {
  const SweepCase &sweepCase = GetParam();
  const size_t payloadLength = SweepPayloadLength();
  const capfmt::Bytes capsule = scenario::SampleCapsule(sweepCase.path, payloadLength);
  const SweepRun clean = RunCase(sweepCase, capsule);
  ASSERT_EQ(ExpectSound(clean, "clean run"), Ending::Updated);
  ASSERT_TRUE(clean.reachedLoop);

  SweepCount count{std::string(sweepCase.name) + " allocations"};
  const size_t allocations = clean.outcome.allocations;
  for (size_t n = 1; n <= allocations; n++) {
    const SweepRun run =
        RunCase(sweepCase, capsule, Fault([n](sim::Platform &p) { p.FailAllocation(n); }));
    const Expectation expected = Expected(sweepCase, clean, n, payloadLength);
    const std::string fault = "allocation " + std::to_string(n) + " of " +
                              std::to_string(allocations) + " (" +
                              std::to_string(clean.outcome.allocationSizes[n - 1]) +
                              " bytes, " + expected.what + ") fails";
    ASSERT_GE(run.outcome.allocations, n) << fault << ": the fault point was never reached";
    const Ending ending = ExpectSound(run, fault);
    EXPECT_NE(std::find(expected.allowed.begin(), expected.allowed.end(), ending),
              expected.allowed.end())
        << fault << ": ended '" << Name(ending) << "'";
    count.Add(run, ending);
  }
  EXPECT_EQ(count.points, allocations);
  // Discovery's one handle buffer: without it no camera is seen, and the run says why with
  // EFI_OUT_OF_RESOURCES. Every other allocation of discovery (a configuration buffer of one
  // interface, a message) leaves the camera found. No run reports a camera that is there as
  // absent.
  EXPECT_EQ(count.endings[static_cast<size_t>(Ending::ScanFault)], 1u);
  EXPECT_EQ(count.endings[static_cast<size_t>(Ending::NothingMatched)], 0u);
  Report(count);
}

INSTANTIATE_TEST_SUITE_P(EntryPoint, AllocationSweep, ::testing::ValuesIn(SweepCases()), CaseName);

}  // namespace
}  // namespace robustness
