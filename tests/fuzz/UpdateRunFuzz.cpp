// Fuzz target: a whole update run through the driver's entry point on the simulated
// platform, with the camera's answers disturbed as the input says. The camera model answers
// every control transfer; the input picks transfers and what happens to them: refused
// before the camera sees them (stall or timeout), taken by the camera and then stalled,
// answered short, or answered with other bytes. Whatever happens, the run must end within
// the driver's documented worst case, leave no pool and break no platform rule, return a
// status its entry point documents, and report success only for a camera that holds the new
// firmware (or, with nothing matched, a camera left untouched). A camera that answers with
// other bytes than its own can lie its way to a false success, so for such runs only the
// first rules hold.
//
// Input: byte 0 picks the run: camera (flash, DFU interface, DFU capable) = byte % 3, the
// capsule's path (HOB, CapsuleOnRam, INSYDE FMP) = byte / 3 % 3, the image = byte / 9 % 2
// (0: one flash piece and one DFU block, 1: two of each, the second short), and bit 7 a host
// controller that passes short answers as success. Then records of three bytes, each for
// one transfer: let `skip` transfers pass untouched, then do `action` to the next one with
// `argument`; the input's remaining bytes feed replaced answers. Once the records run out
// the camera answers as itself.
//
// Seeds: with KVR_UPDATE_RUN_SEEDS=<dir> in the environment, the target writes one seed per
// run (no disturbance) into <dir> and exits.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "camera/Camera.h"
#include "command/Command.h"
#include "dfu/Dfu.h"
#include "flash/Flash.h"
#include "sim/Log.h"
#include "sim/Sim.h"
#include "tools/Scenario.h"

namespace {

// The two images: two pieces and two blocks, the second one short (the version block where
// the sample has it, at 0x1300); and one short piece and block (the version block at 0x300,
// the nearest candidate to the start). Most of a run's cost grows with the image, and most
// of what the fuzzer finds needs no second piece.
constexpr size_t kLongPayloadLength = 0x1300 + 0x20;
constexpr size_t kShortPayloadLength = 0x300 + 0x20;
// A flash chip of 8 KiB: room for either image, and little to set up per run.
constexpr size_t kFlashSize = 8 * 1024;
// The camera's detach delays: away for one look of the driver's waits, back at the second.
constexpr uint64_t kDetachDelayUs = 150'000;

void Check(bool ok, const char *what, const scenario::Outcome &o) {
  if (ok) return;
  std::fprintf(stderr, "UpdateRunFuzz: %s\n  status 0x%llX, camera: %s\n", what,
               (unsigned long long)o.status, o.cameraState.c_str());
  for (const std::string &line : o.log) std::fprintf(stderr, "  | %s", line.c_str());
  std::abort();
}

// Lengths first: a memcmp of two different lines would reach the fuzzer's compare hook.
bool Has(const std::vector<std::string> &log, std::string_view line) {
  return std::any_of(log.begin(), log.end(), [&](const std::string &l) { return l == line; });
}

bool HasPrefix(const std::vector<std::string> &log, const char *prefix) {
  return std::any_of(log.begin(), log.end(),
                     [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
}

// The input as the camera consumes it.
class Script {
 public:
  Script(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

enum Action : uint8_t {
  kRefuseStall,     // the camera never sees the request; the host sees a stall
  kRefuseTimeout,   // ... a timeout
  kTakeThenStall,   // the camera acts on it, then the host sees a stall
  kAnswerShort,     // the camera acts; an IN answer keeps `argument` bytes at most
  kAnswerOther,     // the camera acts; an IN answer is replaced by `argument` input bytes
  kFlipBits,        // the camera acts; one byte of an IN answer has bits flipped
  kActionCount
};

class DisturbedCamera : public camera::Camera {
 public:
  DisturbedCamera(camera::Config config, Script *script)
      : camera::Camera(std::move(config)), script_(script) {}

  usb::Reply Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) override {
    if (!armed_ && !script_->Empty()) {
      skip_ = script_->Next();
      action_ = static_cast<Action>(script_->Next() % kActionCount);
      argument_ = script_->Next();
      armed_ = true;
    }
    if (!armed_ || skip_-- > 0) {
      return camera::Camera::Control(setup, dataOut);
    }
    armed_ = false;
    switch (action_) {
      case kRefuseStall:
        return usb::Stall();
      case kRefuseTimeout:
        return usb::Reply{usb::Outcome::Timeout, {}};
      case kTakeThenStall:
        (void)camera::Camera::Control(setup, dataOut);
        return usb::Stall();
      default:
        break;
    }
    usb::Reply reply = camera::Camera::Control(setup, dataOut);
    if (reply.outcome != usb::Outcome::Ack || (setup.bmRequestType & usb::kDirectionIn) == 0) {
      return reply;
    }
    if (action_ == kAnswerShort) {
      if (argument_ < reply.data.size()) reply.data.resize(argument_);
    } else if (action_ == kAnswerOther) {
      reply.data.assign(argument_, 0);
      for (uint8_t &b : reply.data) b = script_->Next();
      lied = true;
    } else if (!reply.data.empty()) {
      reply.data[argument_ % reply.data.size()] ^= static_cast<uint8_t>(script_->Next() | 1);
      lied = true;
    }
    return reply;
  }

  bool lied = false;

 private:
  Script *script_;
  bool armed_ = false;
  int skip_ = 0;
  Action action_ = kRefuseStall;
  uint8_t argument_ = 0;
};

capfmt::Bytes ShortCapsule(scenario::Path path) {
  capfmt::Bytes payload(kShortPayloadLength, 0x5A);
  capfmt::PutVersionBlock(payload, {.offset = 0x300, .version = 0x0101});
  const capfmt::Bytes image = capfmt::MakeImage(0x3B5A, 0x4C15, payload);
  return path == scenario::Path::Insyde ? capfmt::MakeFmpCapsule(image)
                                        : capfmt::MakeFvCapsule(image);
}

const capfmt::Bytes &Capsule(scenario::Path path, bool longImage) {
  static const std::vector<capfmt::Bytes> capsules = [] {
    std::vector<capfmt::Bytes> made;
    for (scenario::Path p :
         {scenario::Path::Hob, scenario::Path::CapsuleOnRam, scenario::Path::Insyde}) {
      made.push_back(ShortCapsule(p));
      made.push_back(scenario::SampleCapsule(p, kLongPayloadLength));
    }
    return made;
  }();
  return capsules[static_cast<size_t>(path) * 2 + (longImage ? 1 : 0)];
}

uint64_t WorstCaseUs(bool dfu) {
  if (dfu) {
    return uint64_t{DFU_DETACH_SETTLE_US} + 2 * uint64_t{DFU_WAIT_TRIES} * DFU_WAIT_STALL_US +
           uint64_t{DFU_WAIT_BUDGET_MS} * 1000;
  }
  return 2 * uint64_t{KV_CAMERA_RESET_STALL_US} +
         2 * uint64_t{KV_SR_POLL_RETRIES} * KV_SR_POLL_STALL_US;
}

void CheckRun(const scenario::Outcome &o, const DisturbedCamera &cam) {
  const bool dfu = Has(o.log, "DFUFwDownload() =>\r\n");
  Check(o.returned, "the run waited past twice its documented worst case", o);
  // The driver's own waits are bounded by its constants; requests that time out take the
  // device's time, bounded on the DFU path as a whole (robustness::DfuHoldLimitUs).
  Check(o.virtualUs - o.transferWaitUs <= WorstCaseUs(dfu), "the run took longer than documented",
        o);
  Check(!dfu || o.virtualUs <= WorstCaseUs(true) + (3 * uint64_t{KV_CONTROL_TIMEOUT_MS} +
                                                     DFU_FINAL_TIMEOUT_MS) * 1000,
        "the DFU update held the boot past its limit", o);
  Check(o.violations.empty(), "platform violation", o);
  Check(o.poolBlocksLeft == 0, "pool left behind", o);
  for (UINTN percent : o.progress) Check(percent <= 100, "progress above 100", o);
  Check(!o.log.empty() && o.log.back() == "Korvane camera Flash driver entry <=\r\n",
        "the run did not end with its exit line", o);

  if (!Has(o.log, "Find match HWID, Try to update FW\r\n")) {
    // Nothing matched: the progress lookup's status, or the fault of a scan cut short, and
    // the camera untouched.
    if (HasPrefix(o.log, "DFU ROM device ")) {
      // A ROM device of the chip family that no in-flight record names: left alone.
      Check(o.status == EFI_NOT_READY, "a ROM device left alone, yet not EFI_NOT_READY", o);
    } else if (HasPrefix(o.log, "USB scan incomplete (")) {
      Check(EFI_ERROR(o.status) && o.status != EFI_NOT_FOUND,
            "a scan cut short, yet not its fault's status", o);
    } else {
      Check(o.status == EFI_SUCCESS, "nothing matched, yet not the progress lookup's status", o);
    }
    Check(o.progress == std::vector<UINTN>{10}, "nothing matched, yet progress beyond 10", o);
    Check(cam.Flash().Erases() == 0 && cam.Flash().PagePrograms() == 0 &&
              cam.ResetsToUpdateMode() == 0 && cam.DfuDetaches() == 0,
          "nothing matched, yet the camera was touched", o);
    return;
  }
  const bool success = o.status == EFI_SUCCESS;
  Check(success || o.status == EFI_DEVICE_ERROR, "an update status the driver does not give", o);
  Check(success == Has(o.log, "Update FW success\r\n"), "status and log disagree", o);
  const bool hundred = std::find(o.progress.begin(), o.progress.end(), 100u) != o.progress.end();
  Check(success || !hundred, "100 percent reported for a failed update", o);
  if (success && !cam.lied) {
    Check(o.cameraHoldsImage, "success reported for a camera without the new firmware", o);
  }
}

void WriteSeeds(const std::string &dir) {
  for (uint8_t run = 0; run < 18; run++) {  // every camera, path and image
    const std::string file = dir + "/run-" + std::to_string(run);
    FILE *f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) {
      std::perror(file.c_str());
      std::exit(1);
    }
    std::fputc(run, f);
    std::fclose(f);
  }
}

}  // namespace

// AddressSanitizer for whole runs, where the host's own allocations outnumber the driver's:
//   - no allocation and free stacks in reports (unwinding and storing one for every
//     allocation took a third of a run); rerun a finding with
//     ASAN_OPTIONS=malloc_context_size=30 to see them;
//   - freed memory kept from reuse for the next 1 MiB of frees rather than 256 MiB: more than
//     a run frees, so a use after free within a run is still caught, without touching fresh
//     pages at every allocation;
//   - no filling of fresh allocations: the simulated pool fills the driver's blocks with its
//     own pattern, and filling every host allocation up to 4 KiB cost a seventh of a run;
//   - no leak checker: the driver allocates only from the simulated pool, which every run
//     checks for blocks left behind (and a leak check after runs whose allocations and frees
//     differ in number cost a tenth of the time).
extern "C" const char *__asan_default_options() {
  return "malloc_context_size=0:quarantine_size_mb=1:detect_leaks=0:max_malloc_fill_size=0";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (const char *dir = std::getenv("KVR_UPDATE_RUN_SEEDS")) {
    WriteSeeds(dir);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  Script script(data + 1, size - 1);
  scenario::Options options;
  options.camera = data[0] % 3 == 0   ? scenario::Camera::Flash
                   : data[0] % 3 == 1 ? scenario::Camera::DfuInterface
                                      : scenario::Camera::DfuCapable;
  options.path = data[0] / 3 % 3 == 0   ? scenario::Path::Hob
                 : data[0] / 3 % 3 == 1 ? scenario::Path::CapsuleOnRam
                                        : scenario::Path::Insyde;
  options.shortAnswersFail = (data[0] & 0x80) == 0;
  options.stallBudgetUs = 2 * WorstCaseUs(true);
  options.detailedRecord = false;  // nothing below looks at single transfers or stalls
  std::shared_ptr<DisturbedCamera> cam;
  options.makeCamera = [&](camera::Config config) {
    // The configuration the camera announces, built once per kind of camera rather than at
    // every GET_DESCRIPTOR.
    static std::map<bool, std::vector<uint8_t>> built;
    if (built.count(config.dfuInterface) == 0) {
      built[config.dfuInterface] = camera::BuildConfiguration(config);
    }
    config.configuration = built[config.dfuInterface];
    config.flash.size = kFlashSize;
    config.dfu.detachDelayUs = kDetachDelayUs;
    config.dfu.romDetachDelayUs = kDetachDelayUs;
    cam = std::make_shared<DisturbedCamera>(std::move(config), &script);
    return cam;
  };
  const scenario::Outcome outcome =
      scenario::Run(Capsule(options.path, data[0] / 9 % 2 == 1), options);
  CheckRun(outcome, *cam);
  sim::ClearCapturedLog();
  return 0;
}
