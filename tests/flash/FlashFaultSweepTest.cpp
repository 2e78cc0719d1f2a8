// Every transfer of a full flash update made to fail in turn, once by its EFI status and
// once by its USB status: the update stops as the sequence says, sends nothing it should
// not, never reports 100 for a failed update and leaves no pool behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "flash/FlashFixture.h"

namespace {

using namespace flashpath;

using ::testing::Contains;
using ::testing::Not;

struct Fault {
  EFI_STATUS status;
  uint32_t usbStatus;
};

struct Outcome {
  EFI_STATUS status;
  std::vector<std::string> names;
  std::vector<UINTN> percents;
  std::vector<std::string> log;
};

// Disable's release of protection without its variant registers, on this camera.
const std::vector<std::string> kReleaseWithoutGroup = {
    "ReadMem FEA0", "ReadMem FEA6", "WriteMem FEA0", "WriteMem FEA6",
    "WriteSr",      "ReadSr",       "ReadSr",        "ReadSr"};

class FlashFaultSweepTest : public FlashTest {
 protected:
  static constexpr size_t kImageLength = 10'000;  // three pieces, the last one short

  // A fresh camera, one update, with transfer `at` of the update failed when given.
  Outcome UpdateOnce(std::optional<size_t> at, Fault fault) {
    if (!ports_.empty()) {
      P.Usb().Detach(ports_.back());
      ports_.clear();
      cameras_.clear();
    }
    camera::Config config;
    config.flash.size = 64 * 1024;
    config.flash.contents = Image(kImageLength, 99);
    AttachCamera(std::move(config));
    const size_t base = Transfers().size();  // transfers are never cleared here
    if (at) {
      P.Usb().FailTransfer(base + *at, fault.status, fault.usbStatus);
    }
    sim::ClearCapturedLog();
    ProgressRecorder progress;
    Outcome run;
    run.status = FlashFwDownload(Io(), payload_.data(), payload_.size(), &progress);
    for (size_t i = base; i < Transfers().size(); i++) {
      run.names.push_back(Name(Transfers()[i]));
    }
    run.percents = progress.percents;
    run.log = Log();
    return run;
  }

  const std::vector<uint8_t> payload_ = Image(kImageLength);
};

// What the update sends after transfer i of the good run failed.
std::vector<std::string> ExpectedAfter(const std::vector<std::string> &good, size_t i,
                                       bool *succeeds) {
  *succeeds = false;
  const std::string &name = good[i];
  if (i < 2) {
    return {"recovery"};  // identification: one recovery block, nothing more
  }
  // A failed information read makes the camera look as if it ran its ROM code: no reset
  // into update mode, and its running firmware refuses the first register read.
  if (name == "SET_CUR CD") {
    return {"recovery", "ReadMem FE21", "ReadMem FEA0"};
  }
  if (name == "GET_CUR") {
    return {"ReadMem FE21", "ReadMem FEA0"};
  }
  // A failed variant read is not a failure of its own: on release it counts as no register
  // group, on protection the release's code stands in.
  if (name == "ReadMem FE21") {
    const bool release = std::find(good.begin(), good.end(), name) - good.begin() ==
                         static_cast<std::ptrdiff_t>(i);
    if (release) {
      std::vector<std::string> after = kReleaseWithoutGroup;
      // The group-1 guard stays shut: the erase and the writes are ignored, and the
      // read-back finds the old image.
      for (const char *n : {"EraseFlash", "WriteFlash 000000", "WriteFlash 001000",
                            "WriteFlash 002000", "ReadFlash 000000", "ReadFlash 001000",
                            "ReadFlash 002000"}) {
        after.push_back(n);
      }
      return after;
    }
    // Protection stands in the code the release read: exactly the good run's protection.
    *succeeds = true;
    return std::vector<std::string>(good.begin() + i + 1, good.end());
  }
  return {};
}

TEST_F(FlashFaultSweepTest, EachFailedTransferEndsTheUpdateAsTheSequenceSays) {
  const Outcome good = UpdateOnce(std::nullopt, {});
  ASSERT_EQ(good.status, EFI_SUCCESS);
  ASSERT_EQ(good.percents.back(), 100u);

  const Fault faults[] = {{EFI_TIMEOUT, EFI_USB_NOERROR}, {EFI_SUCCESS, EFI_USB_ERR_CRC}};
  size_t runs = 0;
  for (size_t i = 0; i < good.names.size(); i++) {
    for (const Fault &fault : faults) {
      SCOPED_TRACE("transfer " + std::to_string(i) + " (" + good.names[i] + ") failed with " +
                   (fault.usbStatus ? "USB status" : "EFI status"));
      const Outcome run = UpdateOnce(i, fault);
      runs++;
      ASSERT_GT(run.names.size(), i);
      EXPECT_EQ(std::vector<std::string>(run.names.begin(), run.names.begin() + i + 1),
                std::vector<std::string>(good.names.begin(), good.names.begin() + i + 1));
      bool succeeds = false;
      const std::vector<std::string> expected = ExpectedAfter(good.names, i, &succeeds);
      EXPECT_EQ(std::vector<std::string>(run.names.begin() + i + 1, run.names.end()), expected);
      if (succeeds) {
        EXPECT_EQ(run.status, EFI_SUCCESS);
        EXPECT_EQ(run.percents, good.percents);
      } else {
        EXPECT_EQ(run.status, EFI_DEVICE_ERROR);
        EXPECT_THAT(run.percents, Not(Contains(100u)));
      }
      EXPECT_EQ(P.Pool().outstanding, 0u);
    }
  }
  EXPECT_EQ(runs, 2 * good.names.size());
  RecordProperty("transfers", static_cast<int>(good.names.size()));
}

TEST_F(FlashFaultSweepTest, FailedReleaseOfTheVariantReadEndsInTheCompare) {
  const Outcome good = UpdateOnce(std::nullopt, {});
  const size_t variantRead =
      std::find(good.names.begin(), good.names.end(), "ReadMem FE21") - good.names.begin();
  const Outcome run = UpdateOnce(variantRead, {EFI_DEVICE_ERROR, EFI_USB_ERR_STALL});
  EXPECT_EQ(run.status, EFI_DEVICE_ERROR);
  EXPECT_EQ(run.log.back(), "Compare Code Fail\n");
  EXPECT_EQ(cam->Flash().Contents(0, kImageLength), Image(kImageLength, 99));  // untouched
  EXPECT_EQ(cam->Flash().IgnoredCommands(), 1u + 3u);  // the erase and three pieces
}

}  // namespace
