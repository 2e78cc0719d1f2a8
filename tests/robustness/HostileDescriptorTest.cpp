// Cameras whose configuration, as GET_DESCRIPTOR delivers it to the driver, carries length
// fields at their extremes: every descriptor's bLength at 0, 1, 2, 255 and one past what
// is left, the configuration's wTotalLength from 0 to 0xFFFF, and a configuration that
// really is 65535 bytes long. Each run ends at once (no wait), leaves no pool behind, and
// either updates the camera (the fields the probe needs were intact) or passes it over
// with "DevicePath not support" for each of its interfaces.
#include <gtest/gtest.h>

#include <algorithm>

#include "robustness/Sweep.h"

namespace robustness {
namespace {

const char kNotSupported[] = "DevicePath not support\n";
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kExtensionUnit = 0x06;

struct Descriptor {
  size_t offset;
  uint8_t length;
  uint8_t type;
  uint8_t subtype;
};

// The descriptors of a well-formed configuration, in order, the configuration's own first.
std::vector<Descriptor> Walk(const std::vector<uint8_t> &config) {
  std::vector<Descriptor> all;
  for (size_t offset = 0; offset + 2 <= config.size(); offset += config[offset]) {
    if (config[offset] < 2) break;
    all.push_back({offset, config[offset], config[offset + 1],
                   offset + 2 < config.size() ? config[offset + 2] : uint8_t{0}});
  }
  return all;
}

size_t IndexOfCameraUnit(const std::vector<Descriptor> &all) {
  for (size_t i = 0; i < all.size(); i++) {
    if (all[i].type == kCsInterface && all[i].subtype == kExtensionUnit) return i;
  }
  return all.size();
}

size_t Count(const std::vector<std::string> &log, const std::string &line) {
  return static_cast<size_t>(std::count(log.begin(), log.end(), line));
}

class HostileDescriptors : public ::testing::TestWithParam<scenario::Camera> {
 protected:
  SweepCase Case() const { return {"hostile", scenario::Path::Hob, GetParam()}; }
  std::vector<uint8_t> Configuration() const {
    camera::Config config;
    config.dfuInterface = GetParam() == scenario::Camera::DfuInterface;
    return camera::BuildConfiguration(config);
  }
  // The camera answers GET_DESCRIPTOR(configuration) with `answer`; the bus enumerated the
  // well-formed configuration.
  SweepRun RunWithAnswer(const std::vector<uint8_t> &answer) {
    RunSetup setup;
    setup.adjustCamera = [answer](camera::Camera &c) {
      c.Misbehave().configurationAnswer = answer;
    };
    return RunCase(Case(), capsule_, setup);
  }
  // Checks what every hostile configuration must give and returns the ending.
  Ending ExpectBoundedEnd(const SweepRun &run, const std::string &what) {
    const Ending ending = ExpectSound(run, what);
    EXPECT_TRUE(ending == Ending::Updated || ending == Ending::NothingMatched)
        << what << ": ended '" << Name(ending) << "'";
    if (ending == Ending::NothingMatched) {
      // Every interface of the camera was probed and passed over, with its message.
      EXPECT_EQ(Count(run.outcome.log, kNotSupported), interfaces_) << what;
      EXPECT_EQ(run.outcome.virtualUs, 0u) << what;
    }
    return ending;
  }

  const capfmt::Bytes capsule_ =
      scenario::SampleCapsule(scenario::Path::Hob, SweepPayloadLength());
  const size_t interfaces_ = GetParam() == scenario::Camera::DfuInterface ? 3 : 2;
};

TEST_P(HostileDescriptors, EveryBLengthAtItsExtremesEndsAtOnceOrUpdates) {
  const std::vector<uint8_t> good = Configuration();
  const std::vector<Descriptor> all = Walk(good);
  const size_t unit = IndexOfCameraUnit(all);
  ASSERT_LT(unit, all.size());
  size_t points = 0;
  for (size_t d = 0; d < all.size(); d++) {
    const size_t remaining = good.size() - all[d].offset;
    // 0 and 1 (no descriptor), 2 (a bare header), 255 (the most a byte says), and where
    // the configuration leaves less: all that is left, and one more.
    std::vector<size_t> lengths = {0, 1, 2, 255};
    if (remaining < 255) {
      lengths.push_back(remaining);
      lengths.push_back(remaining + 1);
    }
    for (size_t length : lengths) {
      std::vector<uint8_t> answer = good;
      answer[all[d].offset] = static_cast<uint8_t>(length);
      char what[96];
      std::snprintf(what, sizeof what,
                    "descriptor %zu (type 0x%02X at offset %zu) with bLength %zu", d,
                    all[d].type, all[d].offset, length);
      const Ending ending = ExpectBoundedEnd(RunWithAnswer(answer), what);
      points++;
      // The probe's three walks read every descriptor up to the camera unit and none after
      // it: a length below 2 before or at the unit hides the camera, one after it does not.
      if (length < 2) {
        EXPECT_EQ(ending, d <= unit ? Ending::NothingMatched : Ending::Updated) << what;
      }
      // The camera unit itself may be as long as the configuration lets it: its GUID is
      // still in place.
      if (d == unit && length == std::min<size_t>(remaining, 255)) {
        EXPECT_EQ(ending, Ending::Updated) << what;
      }
      // A descriptor that runs past the configuration, read by a walk, is malformed.
      if (length > remaining && d <= unit) {
        EXPECT_EQ(ending, Ending::NothingMatched) << what;
      }
    }
  }
  ReportLine(std::string("hostile descriptors (") + scenario::Name(GetParam()) + "): " +
             std::to_string(points) + " bLength extremes over " + std::to_string(all.size()) +
             " descriptors");
}

TEST_P(HostileDescriptors, DeliveredTotalLengthAtItsExtremesBoundsTheWalks) {
  const std::vector<uint8_t> good = Configuration();
  const size_t total = good.size();
  struct Case {
    size_t wTotalLength;
    Ending ending;
  };
  // The walks stop at the smaller of the cached and the delivered wTotalLength.
  const Case cases[] = {
      {0, Ending::NothingMatched},           {1, Ending::NothingMatched},
      {8, Ending::NothingMatched},           {9, Ending::NothingMatched},
      {total - 1, Ending::Updated},          {total + 1, Ending::Updated},
      {0xFFFF, Ending::Updated},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> answer = good;
    answer[2] = static_cast<uint8_t>(c.wTotalLength);
    answer[3] = static_cast<uint8_t>(c.wTotalLength >> 8);
    const std::string what = "delivered wTotalLength " + std::to_string(c.wTotalLength) +
                             " of a " + std::to_string(total) + "-byte configuration";
    EXPECT_EQ(ExpectBoundedEnd(RunWithAnswer(answer), what), c.ending) << what;
  }
}

TEST_P(HostileDescriptors, LargestConfigurationIsReadWholeAndTheCameraUpdated) {
  // The camera's own descriptors, then vendor descriptors up to wTotalLength 0xFFFF.
  std::vector<uint8_t> config = Configuration();
  while (config.size() < 0xFFFF) {
    const size_t remaining = 0xFFFF - config.size();
    // Never leave a single byte behind: no descriptor is that short.
    const size_t length = remaining <= 255 ? remaining : remaining - 255 >= 2 ? 255 : 253;
    std::vector<uint8_t> filler(length, 0xA5);
    filler[0] = static_cast<uint8_t>(length);
    filler[1] = 0xFF;  // vendor-specific
    config.insert(config.end(), filler.begin(), filler.end());
  }
  ASSERT_EQ(config.size(), 0xFFFFu);
  config[2] = 0xFF;
  config[3] = 0xFF;
  RunSetup setup;
  setup.adjustCamera = [config](camera::Camera &c) { c.Settings().configuration = config; };
  const SweepRun run = RunCase(Case(), capsule_, setup);
  EXPECT_EQ(ExpectBoundedEnd(run, "a 65535-byte configuration"), Ending::Updated);
  // Each probed interface read the whole configuration in one request.
  size_t reads = 0;
  for (const sim::Transfer &t : run.outcome.transferLog) {
    if (t.setup.RequestType == 0x80 && t.setup.Request == 0x06 && (t.setup.Value >> 8) == 2) {
      EXPECT_EQ(t.dataLength, 0xFFFFu);
      EXPECT_EQ(t.dataIn.size(), 0xFFFFu);
      reads++;
    }
  }
  EXPECT_EQ(reads, interfaces_);
}

INSTANTIATE_TEST_SUITE_P(Camera, HostileDescriptors,
                         ::testing::Values(scenario::Camera::Flash, scenario::Camera::DfuInterface),
                         [](const ::testing::TestParamInfo<scenario::Camera> &info) {
                           return info.param == scenario::Camera::Flash ? "Flash" : "DfuInterface";
                         });

}  // namespace
}  // namespace robustness
