// DFU ROM devices and cameras that do not play along: a ROM device that stays in one state
// whatever it is told (every state DFU 1.1 names and bytes it does not), one that asks for
// the longest poll timeout a status answer can carry or uses up the transfer's wait budget,
// one that answers its status requests with garbage, and cameras that stall every request.
// Each update ends within the driver's documented worst case, as a failed update, with the
// message of the bound or refusal that ended it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "dfu/Dfu.h"
#include "robustness/Sweep.h"

namespace robustness {
namespace {

constexpr uint8_t kDfuOut = camera::dfu::kRequestTypeOut;
constexpr uint8_t kDfuIn = camera::dfu::kRequestTypeIn;

bool Has(const std::vector<std::string> &log, const std::string &line) {
  return std::find(log.begin(), log.end(), line) != log.end();
}

bool IsRomRequest(const camera::Camera &c, const usb::Setup &setup) {
  return c.CurrentPersona() == camera::Camera::Persona::DfuRom &&
         (setup.bmRequestType == kDfuOut || setup.bmRequestType == kDfuIn) &&
         setup.bRequest != camera::dfu::kDetach;
}

// A ROM device that stays in one state with one status: every status request says so,
// every other DFU request is taken and changes nothing. DFU_DETACH works as on the camera.
class StuckRom : public camera::Camera {
 public:
  StuckRom(const camera::Config &config, uint8_t state, uint8_t status, uint32_t pollMs)
      : camera::Camera(config), state_(state), status_(status), pollMs_(pollMs) {}
  usb::Reply Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) override {
    if (!IsRomRequest(*this, setup)) return camera::Camera::Control(setup, dataOut);
    if (setup.bRequest == camera::dfu::kGetStatus) {
      std::vector<uint8_t> answer{status_, static_cast<uint8_t>(pollMs_),
                                  static_cast<uint8_t>(pollMs_ >> 8),
                                  static_cast<uint8_t>(pollMs_ >> 16), state_, 0};
      answer.resize(std::min<size_t>(answer.size(), setup.wLength));
      return usb::Ack(answer);
    }
    if (setup.bRequest == camera::dfu::kGetState) return usb::Ack({state_});
    return usb::Ack();
  }

 private:
  uint8_t state_, status_;
  uint32_t pollMs_;
};

// A ROM device that works, but whose status answers are replaced by pseudo-random bytes,
// six of them or (`anyLength`) as many as the generator says.
class GarbageRom : public camera::Camera {
 public:
  GarbageRom(const camera::Config &config, uint32_t seed, bool anyLength)
      : camera::Camera(config), x_(seed | 1), anyLength_(anyLength) {}
  usb::Reply Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) override {
    usb::Reply reply = camera::Camera::Control(setup, dataOut);
    if (IsRomRequest(*this, setup) && setup.bRequest == camera::dfu::kGetStatus &&
        reply.outcome == usb::Outcome::Ack) {
      const size_t length = anyLength_ ? Next() % 7 : 6;
      reply.data.resize(length);
      for (uint8_t &b : reply.data) b = static_cast<uint8_t>(Next());
    }
    return reply;
  }

 private:
  uint32_t Next() {
    x_ ^= x_ << 13, x_ ^= x_ >> 17, x_ ^= x_ << 5;
    return x_ >> 8;
  }
  uint32_t x_;
  bool anyLength_;
};

// The lines DFUDump gives up with; one of them must end every transfer that fails.
const std::vector<std::string> kGiveUpPrefixes = {
    "GetStatus fail!!\r\n",
    "DFU device still in state ",
    "DFU device asks for a wait of ",
    "Status is not OK: ",
    "USB communication error\r\n",
    "bStatus != DFU_STATUS_OK !!\r\n",
    "VendorSetCmd DFUWriteFW_4C15 fail!!\r\n",
    "VendorSetCmd GetStatus when FW write fail!!\r\n",
    "VendorSetCmd DFUWriteFW_4C15 complete fail!!\r\n",
    "Nothing to transfer\r\n",
};

bool GaveUp(const std::vector<std::string> &log) {
  return std::any_of(log.begin(), log.end(), [](const std::string &line) {
    return std::any_of(kGiveUpPrefixes.begin(), kGiveUpPrefixes.end(),
                       [&](const std::string &p) { return line.rfind(p, 0) == 0; });
  });
}

// A camera whose requests chosen by `timesOut` are never answered: each takes its whole
// time-out on the host, as a device that keeps the bus busy and says nothing.
class TimingOutCamera : public camera::Camera {
 public:
  using Choice = std::function<bool(const camera::Camera &, const usb::Setup &)>;
  TimingOutCamera(const camera::Config &config, Choice timesOut)
      : camera::Camera(config), timesOut_(std::move(timesOut)) {}
  usb::Reply Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) override {
    if ((setup.bmRequestType & usb::kTypeMask) != usb::kTypeStandard && timesOut_(*this, setup)) {
      return usb::Reply{usb::Outcome::Timeout, {}};
    }
    return camera::Camera::Control(setup, dataOut);
  }

 private:
  Choice timesOut_;
};

class HostileDfu : public ::testing::Test {
 protected:
  SweepRun Update(RunSetup setup, scenario::Camera kind = scenario::Camera::DfuCapable) {
    return RunCase({"dfu", scenario::Path::Hob, kind}, capsule_, setup);
  }
  // A failed DFU update, ended by the wait for the camera that never came back new.
  void ExpectFailedUpdate(const SweepRun &run, const std::string &what) {
    EXPECT_EQ(ExpectSound(run, what), Ending::UpdateFailed) << what;
    EXPECT_EQ(run.outcome.status, EFI_DEVICE_ERROR) << what;
    EXPECT_TRUE(Has(run.outcome.log, "DFUFwDownload() <=\r\n")) << what;
    EXPECT_LE(run.outcome.virtualUs - run.outcome.transferWaitUs, DfuWorstCaseUs()) << what;
  }

  const capfmt::Bytes capsule_ =
      scenario::SampleCapsule(scenario::Path::Hob, SweepPayloadLength());
};

struct StuckCase {
  uint8_t state;
  std::string message;  // the line that ends the transfer
};

TEST_F(HostileDfu, RomDeviceStayingInAnyStateIsGivenUpWithinItsBounds) {
  const auto retries = [](int state) {
    return "DFU device still in state " + std::to_string(state) + " after 8 retries\r\n";
  };
  const auto polls = [](int state) {
    return "DFU device still in state " + std::to_string(state) + " after 500 polls of block 0\r\n";
  };
  std::vector<StuckCase> cases = {
      {0, polls(0)},    {1, polls(1)},    {2, polls(2)},    {3, polls(3)},
      {4, polls(4)},    {5, retries(5)},  {6, polls(6)},    {7, polls(7)},
      {8, polls(8)},    {9, retries(9)},  {10, retries(10)}, {11, polls(11)},
      {0x7F, polls(0x7F)}, {0xFF, polls(0xFF)},
  };
  for (const StuckCase &c : cases) {
    const std::string what = "ROM device staying in state " + std::to_string(c.state);
    RunSetup setup;
    setup.makeCamera = [&](const camera::Config &config) {
      return std::make_shared<StuckRom>(config, c.state, camera::dfu::kStatusOk, 0);
    };
    const SweepRun run = Update(setup);
    ExpectFailedUpdate(run, what);
    EXPECT_TRUE(Has(run.outcome.log, c.message)) << what << ": no '" << c.message << "'";
  }
}

TEST_F(HostileDfu, RomDeviceKeepingAnErrorStatusIsGivenUpAfterOneClear) {
  RunSetup setup;
  setup.makeCamera = [](const camera::Config &config) {
    return std::make_shared<StuckRom>(config, camera::dfu::kDfuIdle, camera::dfu::kErrWrite, 0);
  };
  const SweepRun run = Update(setup);
  ExpectFailedUpdate(run, "dfuIDLE with errWRITE for ever");
  EXPECT_TRUE(Has(run.outcome.log, "Status is not OK: 3.\r\n"));
  // The download never began: no DFU_DNLOAD to the ROM device's interface 0 (the camera's
  // own SET_CUR requests share its request code, on the unit's wIndex).
  for (const sim::Transfer &t : run.outcome.transferLog) {
    EXPECT_FALSE(t.setup.RequestType == kDfuOut && t.setup.Request == camera::dfu::kDnload &&
                 t.setup.Index == 0)
        << "transfer " << t.index;
  }
}

TEST_F(HostileDfu, LargestPollTimeoutIsNeverWaited) {
  // 0xFFFFFF ms, the most three bytes carry: asked in the first status answer, and as the
  // programming time of the first block.
  const std::string message =
      "DFU device asks for a wait of 16777215 ms, only 60000 ms of 60000 are left\r\n";
  for (bool onBlock : {false, true}) {
    const std::string what = onBlock ? "largest bwPollTimeout after a block"
                                     : "largest bwPollTimeout before the download";
    RunSetup setup;
    setup.adjustCamera = [onBlock](camera::Camera &c) {
      (onBlock ? c.Settings().dfu.blockBusyMs : c.Settings().dfu.pollTimeoutMs) = 0xFFFFFF;
    };
    const SweepRun run = Update(setup);
    ExpectFailedUpdate(run, what);
    EXPECT_TRUE(Has(run.outcome.log, message)) << what;
    // No wait of the device's asking was begun.
    for (uint64_t stall : run.outcome.stalls) {
      EXPECT_LT(stall, uint64_t{DFU_WAIT_BUDGET_MS} * 1000) << what;
    }
  }
}

TEST_F(HostileDfu, PollTimeoutsBeyondTheWaitBudgetEndTheTransfer) {
  // 20 s of programming per block: three blocks use up the budget, the fourth is not waited.
  RunSetup setup;
  setup.adjustCamera = [](camera::Camera &c) { c.Settings().dfu.blockBusyMs = 20000; };
  const SweepRun run = Update(setup);
  ExpectFailedUpdate(run, "20 s per block");
  EXPECT_TRUE(Has(run.outcome.log,
                  "DFU device asks for a wait of 20000 ms, only 0 ms of 60000 are left\r\n"));
  const uint64_t waited = static_cast<uint64_t>(
      std::count(run.outcome.stalls.begin(), run.outcome.stalls.end(), uint64_t{20000} * 1000));
  EXPECT_EQ(waited, 3u);
}

TEST_F(HostileDfu, GarbageStatusAnswersNeverPassForAnUpdate) {
  size_t runs = 0;
  for (bool anyLength : {false, true}) {
    for (uint32_t seed = 1; seed <= 48; seed++) {
      const std::string what = "garbage status answers, seed " + std::to_string(seed) +
                               (anyLength ? ", any length" : ", six bytes");
      RunSetup setup;
      setup.shortAnswersFail = !anyLength;  // short garbage reaches the driver as a success
      setup.makeCamera = [&](const camera::Config &config) {
        return std::make_shared<GarbageRom>(config, seed * 2654435761u, anyLength);
      };
      const SweepRun run = Update(setup);
      ExpectFailedUpdate(run, what);
      EXPECT_TRUE(GaveUp(run.outcome.log)) << what << ": the transfer ended without its message";
      runs++;
    }
  }
  EXPECT_EQ(runs, 96u);
  ReportLine("hostile DFU: " + std::to_string(runs) + " garbage-answering ROM devices");
}

// ---------------------------------------------------------------- stalls

// Every request, from the host's SET_CONFIGURATION on: the camera never gets handles.
TEST_F(HostileDfu, CameraStallingEvenItsConfigurationIsNeverSeen) {
  RunSetup setup;
  setup.adjustCamera = [](camera::Camera &c) {
    c.Misbehave().stalls.push_back({[](const usb::Setup &, const std::vector<uint8_t> &) {
      return true;
    }});
  };
  const SweepRun run = Update(setup, scenario::Camera::Flash);
  EXPECT_EQ(ExpectSound(run, "every request stalled"), Ending::NothingMatched);
  EXPECT_TRUE(Has(run.outcome.log, "Nunber of USB Handle is 0\r\n"));
  EXPECT_EQ(run.outcome.transfers, 0u);
}

// Every request the driver sends, on each kind of camera, and on the ROM device only.
TEST_F(HostileDfu, CameraStallingEveryRequestFailsOrIsPassedOverAtOnce) {
  const auto allButConfiguration = [](const usb::Setup &setup, const std::vector<uint8_t> &) {
    return !(setup.bmRequestType == 0x00 && setup.bRequest == usb::kSetConfiguration);
  };
  for (scenario::Camera kind : {scenario::Camera::Flash, scenario::Camera::DfuInterface,
                                scenario::Camera::DfuCapable}) {
    const std::string what = std::string("every request stalled, ") + scenario::Name(kind);
    RunSetup setup;
    setup.adjustCamera = [&](camera::Camera &c) {
      c.Misbehave().stalls.push_back({allButConfiguration});
    };
    const SweepRun run = Update(setup, kind);
    // The configuration cannot be read: no interface is taken for the camera's, and a device
    // with the image's IDs that could not be probed may be the camera: no success.
    EXPECT_EQ(ExpectSound(run, what), Ending::ScanFault) << what;
    EXPECT_EQ(run.outcome.status, EFI_DEVICE_ERROR) << what;
    EXPECT_EQ(std::count(run.outcome.log.begin(), run.outcome.log.end(),
                         "DevicePath not support\n"),
              kind == scenario::Camera::DfuInterface ? 3 : 2)
        << what;
    EXPECT_EQ(run.outcome.virtualUs, 0u) << what;
  }
}

TEST_F(HostileDfu, CameraStallingClassAndVendorRequestsFailsWithItsMessage) {
  struct Case {
    scenario::Camera kind;
    std::string message;
    bool waitsForRom;
  };
  const std::string identification =
      "KvrFmpDriver: VendorSetCmd fail, Status = 0x00000007, entity id 6,len 8\n";
  const Case cases[] = {
      // Identification fails: the flash is never touched.
      {scenario::Camera::Flash, identification, false},
      // The allow-update and detach are refused: no ROM device in 50 looks.
      {scenario::Camera::DfuInterface, "Reset and can't find DFU ROM device\r\n", true},
      // The chip query is refused, so the camera is taken for a flash-path one.
      {scenario::Camera::DfuCapable, identification, false},
  };
  for (const Case &c : cases) {
    const std::string what = std::string("class and vendor requests stalled, ") +
                             scenario::Name(c.kind);
    RunSetup setup;
    setup.adjustCamera = [](camera::Camera &cam) {
      cam.Misbehave().stalls.push_back(
          {[](const usb::Setup &setup, const std::vector<uint8_t> &) {
            return (setup.bmRequestType & usb::kTypeMask) != usb::kTypeStandard;
          }});
    };
    const SweepRun run = Update(setup, c.kind);
    EXPECT_EQ(ExpectSound(run, what), Ending::UpdateFailed) << what;
    EXPECT_EQ(run.outcome.status, EFI_DEVICE_ERROR) << what;
    EXPECT_TRUE(Has(run.outcome.log, c.message)) << what << ": no '" << c.message << "'";
    if (c.waitsForRom) {
      EXPECT_EQ(run.outcome.virtualUs,
                uint64_t{DFU_DETACH_SETTLE_US} + uint64_t{DFU_WAIT_TRIES} * DFU_WAIT_STALL_US)
          << what;
    } else {
      EXPECT_EQ(run.outcome.virtualUs, 0u) << what;
    }
  }
}

TEST_F(HostileDfu, RomDeviceStallingEveryRequestFailsWithItsMessage) {
  RunSetup setup;
  setup.adjustCamera = [](camera::Camera &cam) {
    const camera::Camera *self = &cam;
    cam.Misbehave().stalls.push_back(
        {[self](const usb::Setup &setup, const std::vector<uint8_t> &) {
          return self->CurrentPersona() == camera::Camera::Persona::DfuRom &&
                 !(setup.bmRequestType == 0x00 && setup.bRequest == usb::kSetConfiguration);
        }});
  };
  const SweepRun run = Update(setup);
  ExpectFailedUpdate(run, "ROM device stalling every request");
  EXPECT_TRUE(Has(run.outcome.log, "GetStatus fail!!\r\n"));
  EXPECT_TRUE(Has(run.outcome.log, "VendorSetCmd DetachDFU_4C15 fail!!\r\n"));
}

// A ROM device that fails the download after its second block and starts the half image it
// holds anyway, as the camera with the new identity. The camera does not hold the new
// firmware, and the transfer's failure is known: the update fails, and progress stops at 98.
TEST_F(HostileDfu, CameraStartingAnIncompleteImageIsAFailedUpdate) {
  RunSetup setup;
  setup.adjustCamera = [](camera::Camera &c) {
    c.Misbehave().dfu.errorAfterBlock = 1;
    c.Misbehave().dfu.bootsIncompleteImage = true;
  };
  const SweepRun run = Update(setup);
  const scenario::Outcome &o = run.outcome;
  EXPECT_EQ(ExpectSound(run, "incomplete image started"), Ending::UpdateFailed);
  EXPECT_TRUE(Has(o.log, "bStatus != DFU_STATUS_OK !!\r\n"));
  EXPECT_TRUE(Has(o.log, "DFU download failed, update not complete\r\n"));
  EXPECT_EQ(o.status, EFI_DEVICE_ERROR);
  EXPECT_EQ(o.progress.back(), 98u);
  EXPECT_EQ(run.camera->Settings().device.bcdDevice, 0x0101);  // it did start the half image
  EXPECT_FALSE(o.cameraHoldsImage) << o.cameraState;
}

// Requests that time out hold the boot for their whole time-out: the DFU path's budget
// counts them, and the longest hold stays within the documented limit.
TEST_F(HostileDfu, RequestsThatTimeOutHoldTheBootNoLongerThanTheLimit) {
  using Choice = TimingOutCamera::Choice;
  const auto rom = [](const camera::Camera &c, const usb::Setup &s) { return IsRomRequest(c, s); };
  struct Case {
    const char *what;
    Choice timesOut;
    uint8_t state = camera::dfu::kDfuIdle;  // the ROM device's state at the start
    uint32_t pollMs = 0;                    // the poll timeout of its status answers
  };
  const std::vector<Case> cases = {
      {"every class and vendor request", [](const camera::Camera &, const usb::Setup &) {
         return true;
       }},
      {"every request to the ROM device", rom},
      {"DFU_CLRSTATUS in dfuERROR",
       [](const camera::Camera &c, const usb::Setup &s) {
         return IsRomRequest(c, s) && s.bRequest == camera::dfu::kClrStatus;
       },
       camera::dfu::kDfuError},
      {"the final DFU_DNLOAD after polls that use up the budget",
       [](const camera::Camera &c, const usb::Setup &s) {
         return IsRomRequest(c, s) && s.bRequest == camera::dfu::kDnload && s.wLength == 0;
       },
       camera::dfu::kDfuIdle, 4000},
      {"the detaches and the ROM device's status",
       [](const camera::Camera &c, const usb::Setup &s) {
         return s.bRequest == 0x50 || s.bRequest == camera::dfu::kDetach ||
                (IsRomRequest(c, s) && s.bRequest == camera::dfu::kGetStatus);
       }},
  };
  uint64_t worstUs = 0;
  for (const Case &c : cases) {
    RunSetup setup;
    setup.makeCamera = [&](const camera::Config &config) {
      camera::Config settings = config;
      settings.dfu.pollTimeoutMs = c.pollMs;
      settings.dfu.blockBusyMs = c.pollMs;
      return std::make_shared<TimingOutCamera>(settings, c.timesOut);
    };
    setup.adjustCamera = [&](camera::Camera &cam) {
      if (c.state != camera::dfu::kDfuIdle) {
        cam.Misbehave().dfu.initialState = c.state;
        cam.Misbehave().dfu.initialStatus = camera::dfu::kErrWrite;
      }
    };
    const SweepRun run = Update(setup);
    const Ending ending = ExpectSound(run, c.what);
    EXPECT_NE(ending, Ending::Updated) << c.what;
    // A request timed out, or (a longer image) the budget ran out before one could.
    EXPECT_TRUE(run.outcome.transferWaitUs > 0 ||
                std::any_of(run.outcome.log.begin(), run.outcome.log.end(),
                            [](const std::string &l) {
                              return l.rfind("DFU device asks for a wait of ", 0) == 0;
                            }))
        << c.what << ": no request timed out";
    worstUs = std::max(worstUs, run.outcome.virtualUs);
  }
  char line[96];
  std::snprintf(line, sizeof line, "hostile DFU devices: longest hold with request time-outs %.1f s",
                worstUs / 1e6);
  ReportLine(line);
  EXPECT_LE(worstUs, uint64_t{120} * 1000 * 1000);
  EXPECT_LE(worstUs, DfuHoldLimitUs());
}

}  // namespace
}  // namespace robustness
