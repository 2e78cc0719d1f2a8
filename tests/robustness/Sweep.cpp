#include "robustness/Sweep.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "dfu/Dfu.h"
#include "flash/Flash.h"
#include "command/Command.h"

namespace robustness {
namespace {

// Three whole pieces of 4096 bytes and one of 1000.
constexpr size_t kDefaultPayloadLength = 3 * 4096 + 1000;
// The version block ends at 0x1300 + 20: a payload must hold it for the DFU path.
constexpr size_t kShortestPayload = 0x1300 + 20;

const char kExitLine[] = "Korvane camera Flash driver entry <=\r\n";
const char kMatchLine[] = "Find match HWID, Try to update FW\r\n";
const char kResumeLine[] =
    "No camera matched, DFU ROM device found: resume the interrupted update\r\n";
const char kSuccessLine[] = "Update FW success\r\n";
const char kDfuEntryLine[] = "DFUFwDownload() =>\r\n";
const char kScanFaultLine[] = "USB scan incomplete (";
const char kLeftAloneLine[] = " left alone: no interrupted update of this image on its port\r\n";
const char kReadBackLine[] =
    "KvrFmpDriver Error:FlashFwDownload: no memory for the read-back buffer";

bool Has(const std::vector<std::string> &log, const std::string &line) {
  return std::find(log.begin(), log.end(), line) != log.end();
}

bool HasPrefix(const std::vector<std::string> &log, const std::string &prefix) {
  return std::any_of(log.begin(), log.end(),
                     [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
}

std::string Last(const std::vector<std::string> &log) { return log.empty() ? "" : log.back(); }

// The last progress value of a successful update: 100, or 96 on the flash path for a camera
// that was already in ROM code (it skips the restart into update mode and its 4 points).
UINTN FinalProgress(const std::vector<std::string> &log) {
  return Has(log, "Check Rom Code\r\n") && !Has(log, "Reset to FW update mode\r\n") ? 96 : 100;
}

Ending Classify(const scenario::Outcome &o) {
  const std::vector<std::string> &log = o.log;
  if (Has(log, "Get Capsule file Failed.\n")) return Ending::CapsuleNotFound;
  if (Last(log) == "Out of resource to allocate FMP private data \n") return Ending::NoRecord;
  if (Last(log) == "Initialze Private data fail \n") return Ending::NoDescriptor;
  if (Has(log, "No camera image in the capsule.\n")) return Ending::NoImage;
  if (std::any_of(log.begin(), log.end(), [](const std::string &line) {
        return line.size() > sizeof kLeftAloneLine &&
               line.compare(line.size() - (sizeof kLeftAloneLine - 1), std::string::npos,
                            kLeftAloneLine) == 0;
      })) {
    return Ending::Stranded;
  }
  if (!Has(log, kMatchLine) && !Has(log, kResumeLine)) {
    return HasPrefix(log, kScanFaultLine) ? Ending::ScanFault : Ending::NothingMatched;
  }
  return Has(log, kSuccessLine) ? Ending::Updated : Ending::UpdateFailed;
}

// A camera the flash path updated has its protection set again: WP# low, the status
// register's write-disable and block-protect bits, and the guard of its variant shut as far
// as protecting shuts it (the write gate of code 0x0020 stays as the release left it).
void ExpectProtectedAgain(const camera::FlashHardware &flash, const std::string &where) {
  EXPECT_EQ(flash.Memory(camera::kWpLevel) & 0x01, 0) << "WP# released; " << where;
  EXPECT_EQ(flash.StatusRegister() & 0x8C, 0x8C) << "status register; " << where;
  const uint8_t lines = flash.Memory(camera::kLineLevel);
  const uint8_t gate = flash.Memory(camera::kWriteGate);
  switch (camera::GuardOf(flash.VariantCode())) {
    case camera::Guard::Lines04: EXPECT_EQ(lines & 0x04, 0) << "0xFEA7; " << where; break;
    case camera::Guard::Lines0C: EXPECT_EQ(lines & 0x0C, 0) << "0xFEA7; " << where; break;
    case camera::Guard::WriteGate:
      EXPECT_EQ(gate & 0x05, flash.VariantCode() == 0x0020 ? 0x05 : 0x00) << "0xFF9C; " << where;
      break;
    case camera::Guard::None: break;
  }
}

std::string Status(EFI_STATUS status) {
  const char *name = KvrStatusName(status);
  char text[64];
  std::snprintf(text, sizeof text, "%s (0x%llX)", name ? name : "?", (unsigned long long)status);
  return text;
}

}  // namespace

const std::vector<SweepCase> &SweepCases() {
  static const std::vector<SweepCase> cases = {
      {"FlashHob", scenario::Path::Hob, scenario::Camera::Flash},
      {"DfuMode1Hob", scenario::Path::Hob, scenario::Camera::DfuInterface},
      {"DfuMode2Hob", scenario::Path::Hob, scenario::Camera::DfuCapable},
      {"FlashCapsuleOnRam", scenario::Path::CapsuleOnRam, scenario::Camera::Flash},
      {"DfuMode2Insyde", scenario::Path::Insyde, scenario::Camera::DfuCapable},
  };
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<SweepCase> &info) { return info.param.name; }

size_t SweepPayloadLength() {
  if (const char *text = std::getenv("KVR_SWEEP_PAYLOAD"); text != nullptr && *text != '\0') {
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (end != nullptr && *end == '\0' && value >= kShortestPayload && value <= (16u << 20)) {
      return static_cast<size_t>(value);
    }
    ADD_FAILURE() << "KVR_SWEEP_PAYLOAD=" << text << " is not a length from " << kShortestPayload
                  << " to 16 MiB";
  }
  return kDefaultPayloadLength;
}

RunSetup Fault(std::function<void(sim::Platform &)> inject, bool shortAnswersFail) {
  RunSetup setup;
  setup.inject = std::move(inject);
  setup.shortAnswersFail = shortAnswersFail;
  return setup;
}

SweepRun RunCase(const SweepCase &sweepCase, const capfmt::Bytes &capsule, const RunSetup &setup) {
  SweepRun run;
  sim::Platform *platform = nullptr;
  scenario::Options options;
  options.path = sweepCase.path;
  options.camera = sweepCase.camera;
  options.shortAnswersFail = setup.shortAnswersFail;
  // Twice the longest documented run: a wait past it is a hang, reported as such.
  options.stallBudgetUs = 2 * DfuWorstCaseUs();
  options.makeCamera = [&](const camera::Config &config) {
    run.camera = setup.makeCamera ? setup.makeCamera(config)
                                  : std::make_shared<camera::Camera>(config);
    return run.camera;
  };
  options.adjustCamera = setup.adjustCamera;
  options.others = setup.others;
  options.nonVolatile = setup.nonVolatile;
  options.setVariableFailure = setup.setVariableFailure;
  options.beforeEntry = [&](sim::Platform &p) {
    platform = &p;
    if (setup.inject) setup.inject(p);
  };
  options.onProgress = [&](UINTN) {
    if (!run.reachedLoop && platform != nullptr) {
      run.reachedLoop = true;
      run.transfersBeforeLoop = platform->Usb().Transfers().size();
      run.allocationsBeforeLoop = platform->AllocationCalls();
    }
  };
  run.outcome = scenario::Run(capsule, options);
  return run;
}

const char *Name(Ending ending) {
  switch (ending) {
    case Ending::CapsuleNotFound: return "capsule not found";
    case Ending::NoRecord: return "no record";
    case Ending::NoDescriptor: return "no descriptor";
    case Ending::NoImage: return "no image";
    case Ending::NothingMatched: return "nothing matched";
    case Ending::ScanFault: return "scan fault";
    case Ending::Updated: return "updated";
    case Ending::UpdateFailed: return "update failed";
    case Ending::Stranded: return "ROM device left alone";
  }
  return "?";
}

uint64_t FlashWorstCaseUs() {
  return 2 * uint64_t{KV_CAMERA_RESET_STALL_US} +
         2 * uint64_t{KV_SR_POLL_RETRIES} * KV_SR_POLL_STALL_US;
}

uint64_t DfuWorstCaseUs() {
  return uint64_t{DFU_DETACH_SETTLE_US} + 2 * uint64_t{DFU_WAIT_TRIES} * DFU_WAIT_STALL_US +
         uint64_t{DFU_WAIT_BUDGET_MS} * 1000;
}

uint64_t DfuHoldLimitUs() {
  return DfuWorstCaseUs() + 3 * uint64_t{KV_CONTROL_TIMEOUT_MS} * 1000 +
         uint64_t{DFU_FINAL_TIMEOUT_MS} * 1000;
}

uint64_t DocumentedWorstCaseUs(const scenario::Outcome &outcome) {
  return Has(outcome.log, kDfuEntryLine) ? DfuWorstCaseUs() : FlashWorstCaseUs();
}

Ending ExpectSound(const SweepRun &run, const std::string &fault) {
  const scenario::Outcome &o = run.outcome;
  SCOPED_TRACE(fault);
  const Ending ending = Classify(o);
  const std::string status = Status(o.status);
  const std::string where = std::string("ending '") + Name(ending) + "', status " + status +
                            ", camera: " + o.cameraState + ", last line: " + Last(o.log);

  EXPECT_TRUE(o.returned) << "the run waited past twice its documented worst case; " << where;
  // The waits the driver makes are bounded by its own constants; the time requests take to
  // time out is the device's, and bounded on the DFU path as a whole.
  EXPECT_LE(o.virtualUs - o.transferWaitUs, DocumentedWorstCaseUs(o)) << where;
  if (Has(o.log, kDfuEntryLine)) {
    EXPECT_LE(o.virtualUs, DfuHoldLimitUs()) << where;
  }
  EXPECT_TRUE(o.violations.empty()) << ::testing::PrintToString(o.violations) << "; " << where;
  EXPECT_EQ(o.poolBlocksLeft, 0u) << ::testing::PrintToString(o.poolLeaks) << "; " << where;
  for (UINTN percent : o.progress) {
    EXPECT_LE(percent, 100u) << where;
  }

  const bool transfersMade = o.transfers != 0;
  switch (ending) {
    case Ending::CapsuleNotFound:
      EXPECT_TRUE(o.status == EFI_NOT_FOUND || o.status == EFI_INVALID_PARAMETER) << where;
      EXPECT_EQ(Last(o.log), kExitLine) << where;
      EXPECT_FALSE(transfersMade) << where;
      EXPECT_TRUE(o.progress.empty()) << where;
      break;
    case Ending::NoRecord:
    case Ending::NoDescriptor:
      EXPECT_EQ(o.status, EFI_OUT_OF_RESOURCES) << where;
      EXPECT_FALSE(transfersMade) << where;
      EXPECT_TRUE(o.progress.empty()) << where;
      break;
    case Ending::NoImage:
      EXPECT_EQ(o.status, EFI_NOT_FOUND) << where;
      EXPECT_EQ(Last(o.log), kExitLine) << where;
      EXPECT_FALSE(transfersMade) << where;
      break;
    case Ending::NothingMatched:
    case Ending::ScanFault:
      // The progress protocol is there, so its lookup's status: EFI_SUCCESS, with nothing
      // updated; after a fault that may have hidden the camera, that fault's status. The
      // camera must not have been touched beyond the questions of discovery.
      if (ending == Ending::NothingMatched) {
        EXPECT_EQ(o.status, EFI_SUCCESS) << where;
      } else {
        EXPECT_TRUE(EFI_ERROR(o.status) && o.status != EFI_NOT_FOUND) << where;
      }
      EXPECT_EQ(o.progress, std::vector<UINTN>{10}) << where;
      EXPECT_EQ(Last(o.log), kExitLine) << where;
      EXPECT_FALSE(o.cameraHoldsImage) << where;
      if (run.camera) {
        EXPECT_EQ(run.camera->Flash().Erases(), 0u) << where;
        EXPECT_EQ(run.camera->Flash().PagePrograms(), 0u) << where;
        EXPECT_EQ(run.camera->ResetsToUpdateMode(), 0u) << where;
        EXPECT_EQ(run.camera->DfuDetaches(), 0u) << where;
      }
      break;
    case Ending::Stranded:
      // Nothing at all after discovery: the ROM device is nobody's to write.
      EXPECT_EQ(o.status, EFI_NOT_READY) << where;
      EXPECT_EQ(o.progress, std::vector<UINTN>{10}) << where;
      EXPECT_EQ(Last(o.log), kExitLine) << where;
      EXPECT_FALSE(o.cameraHoldsImage) << where;
      EXPECT_TRUE(run.reachedLoop) << where;
      EXPECT_EQ(o.transferLog.size(), run.transfersBeforeLoop) << where;
      EXPECT_TRUE(o.stalls.empty()) << where;
      break;
    case Ending::Updated:
      EXPECT_EQ(o.status, EFI_SUCCESS) << where;
      EXPECT_TRUE(o.cameraHoldsImage) << "success reported, but " << where;
      EXPECT_FALSE(o.progress.empty()) << where;
      if (!o.progress.empty()) {
        EXPECT_EQ(o.progress.front(), 10u) << where;
        EXPECT_EQ(o.progress.back(), FinalProgress(o.log)) << where;
      }
      EXPECT_EQ(Last(o.log), kExitLine) << where;
      if (run.camera && !Has(o.log, kDfuEntryLine)) {
        ExpectProtectedAgain(run.camera->Flash(), where);
      }
      break;
    case Ending::UpdateFailed:
      if (o.status == EFI_OUT_OF_RESOURCES) {
        // Only the flash path's read-back buffer, refused before the camera is touched.
        EXPECT_TRUE(HasPrefix(o.log, kReadBackLine)) << where;
        EXPECT_FALSE(Has(o.log, kDfuEntryLine)) << where;
        if (run.camera) {
          EXPECT_EQ(run.camera->ResetsToUpdateMode(), 0u) << where;
        }
      } else {
        EXPECT_EQ(o.status, EFI_DEVICE_ERROR) << where;
      }
      EXPECT_TRUE(std::find(o.progress.begin(), o.progress.end(), 100u) == o.progress.end())
          << "100 percent reported for a failed update; " << where;
      EXPECT_EQ(Last(o.log), kExitLine) << where;
      break;
  }
  return ending;
}

void SweepCount::Add(const SweepRun &run, Ending ending) {
  points++;
  endings[static_cast<size_t>(ending)]++;
  longestUs = std::max(longestUs, run.outcome.virtualUs);
}

void Report(const SweepCount &count) {
  std::string endings;
  for (size_t i = 0; i < count.endings.size(); i++) {
    if (count.endings[i] == 0) continue;
    endings += (endings.empty() ? "" : ", ") + std::to_string(count.endings[i]) + " " +
               Name(static_cast<Ending>(i));
  }
  char longest[32];
  std::snprintf(longest, sizeof longest, "%.3f s", count.longestUs / 1e6);
  ReportLine("sweep " + count.sweep + ": " + std::to_string(count.points) + " fault points (" +
             endings + "), longest run " + longest);
  ::testing::Test::RecordProperty("fault_points", static_cast<int>(count.points));
}

void ReportLine(const std::string &line) {
  const char *report = std::getenv("KVR_SWEEP_REPORT");
  if (report == nullptr || *report == '\0' || *report == '0') return;
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

bool Answered(const sim::Transfer &transfer) {
  return transfer.direction == EfiUsbDataIn && transfer.reachedDevice && !transfer.dataIn.empty();
}

std::string SetupText(const EFI_USB_DEVICE_REQUEST &setup) {
  char text[32];
  std::snprintf(text, sizeof text, "%02X.%02X.%04X.%04X.%04X", setup.RequestType, setup.Request,
                setup.Value, setup.Index, setup.Length);
  return text;
}

void ExpectTransferFaultEnding(Ending ending, bool discovery, const std::string &fault) {
  const bool allowed = ending == Ending::Updated || ending == Ending::UpdateFailed ||
                       (discovery && ending == Ending::NothingMatched);
  EXPECT_TRUE(allowed) << fault << ": ended '" << Name(ending) << "'";
}

}  // namespace robustness
