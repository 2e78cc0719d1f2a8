// The simulated pool: accounting that fails a leaking test, fault injection, misuse caught.
#include <gtest/gtest-spi.h>

#include "platform/Platform.h"
#include "support/SimTest.h"

namespace {

using PoolTest = SimTest;

TEST_F(PoolTest, LeakedBlockFailsTheTestWithItsSizeAndSequence) {
  void *kept = AllocatePool(8);
  void *leaked = AllocatePool(24);
  FreePool(kept);
  EXPECT_NONFATAL_FAILURE(ExpectPoolClean(P), "24 bytes from allocation #2");
  FreePool(leaked);
}

TEST_F(PoolTest, AllowedBlockIsNotALeakButStaysCounted) {
  void *record = AllocatePool(16);
  P.AllowOutstanding(record);
  EXPECT_TRUE(P.Leaks().empty());
  EXPECT_EQ(P.Pool().outstanding, 1u);
  EXPECT_EQ(P.Pool().outstandingBytes, 16u);
}

TEST_F(PoolTest, AccountingTracksPeakAndCalls) {
  void *a = AllocatePool(100);
  void *b = AllocatePool(50);
  FreePool(a);
  void *c = AllocatePool(10);
  EXPECT_EQ(P.Pool().outstandingBytes, 60u);
  EXPECT_EQ(P.Pool().peakBytes, 150u);
  EXPECT_EQ(P.Pool().calls, 3u);
  FreePool(b);
  FreePool(c);
  EXPECT_EQ(P.Pool().outstanding, 0u);
}

TEST_F(PoolTest, NewBlocksAreNotZeroed) {
  auto *block = static_cast<uint8_t *>(AllocatePool(4));
  EXPECT_EQ(block[0], 0xAF);
  EXPECT_EQ(block[3], 0xAF);
  FreePool(block);
}

TEST_F(PoolTest, ZeroSizedBlocksAreDistinctAndMustBeFreed) {
  void *a = AllocatePool(0);
  void *b = AllocatePool(0);
  ASSERT_NE(a, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(P.Leaks().size(), 2u);
  FreePool(a);
  FreePool(b);
}

TEST_F(PoolTest, FailAllocationFailsExactlyTheNthCall) {
  P.FailAllocation(2);
  void *first = AllocatePool(8);
  void *second = reinterpret_cast<void *>(1);
  EXPECT_EQ(BootServices->AllocatePool(EfiBootServicesData, 8, &second), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(second, nullptr);
  void *third = AllocatePool(8);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(P.AllocationCalls(), 3u);
  FreePool(first);
  FreePool(third);
}

TEST_F(PoolTest, SeveralFailuresMayBeArmed) {
  P.FailAllocation(1);
  P.FailAllocation(3);
  EXPECT_EQ(AllocatePool(8), nullptr);
  void *second = AllocatePool(8);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(AllocatePool(8), nullptr);
  FreePool(second);
}

TEST_F(PoolTest, NullBufferArgumentIsRefused) {
  EXPECT_EQ(BootServices->AllocatePool(EfiBootServicesData, 8, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(PoolTest, RequestBeyondThePoolRunsOutOfResources) {
  void *buffer = reinterpret_cast<void *>(1);
  EXPECT_EQ(BootServices->AllocatePool(EfiBootServicesData, ~UINTN{0}, &buffer),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(buffer, nullptr);
}

TEST_F(PoolTest, DoubleFreeIsAViolation) {
  void *block = AllocatePool(8);
  EXPECT_EQ(BootServices->FreePool(block), EFI_SUCCESS);
  EXPECT_EQ(BootServices->FreePool(block), EFI_INVALID_PARAMETER);
  ASSERT_EQ(P.Violations().size(), 1u);
  EXPECT_NE(P.Violations()[0].find("not a live pool block"), std::string::npos);
  EXPECT_NONFATAL_FAILURE(ExpectNoViolations(P), "not a live pool block");
  P.ClearViolations();
}

TEST_F(PoolTest, FreeOfMemoryThePoolNeverGaveIsAViolation) {
  uint64_t stack = 0;
  EXPECT_EQ(BootServices->FreePool(&stack), EFI_INVALID_PARAMETER);
  EXPECT_EQ(P.Violations().size(), 1u);
  P.ClearViolations();
}

}  // namespace
