// The camera model's power: a cut at a chosen request and the assumptions of
// camera/Power.cpp (P1 to P6) on what survives and what the camera starts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "camera/CameraFixture.h"
#include "tools/CapsuleFormat.h"

namespace {

using ::testing::IsEmpty;
using Start = camera::Camera::Start;
namespace dfu = camera::dfu;

const usb::Setup kUpdateMode{0x40, 0x01, 2, 7, 0};
const usb::Setup kErase{0x40, 0x32, 0, 0, 0};
const usb::Setup kTag{0x40, 0x34, 0, 0, 0};
const usb::Setup kReadSr{0xC0, 0x30, 0, 0, 1};
const usb::Setup kWriteSr{0x40, 0x31, 0, 0, 1};
const usb::Setup kGetStatus{0xA1, dfu::kGetStatus, 0, 0, 6};
const usb::Setup kRomDetach{0x21, dfu::kDetach, 0x5000, 0, 0};
const camera::FirmwareIdentity kOldIds{0x3B5A, 0x4C15, 0x0102};
const camera::FirmwareIdentity kDfuIds{0x1234, 0x5678, 0x0304};
const camera::FirmwareIdentity kFlashIds{0x3B5A, 0x4C15, 0x0207};
const camera::FirmwareIdentity kRomIds{0x3B5A, 0x4C00, 0x0100};

usb::Setup WriteMemory(uint16_t address) { return {0x40, 0x24, 0, address, 1}; }
usb::Setup Program(uint16_t address, uint16_t length) { return {0x40, 0x2F, 0, address, length}; }
bool Acked(const usb::Reply &reply) { return reply.outcome == usb::Outcome::Ack; }

// An image whose version block names these IDs (chip 0x4C15: the version at +16).
std::vector<uint8_t> Image(camera::FirmwareIdentity ids, size_t length = 0x3000) {
  capfmt::Bytes image(length, 0x5A);
  capfmt::PutVersionBlock(image, {.chipId = 0x4C15, .vid = ids.vid, .pid = ids.pid,
                                  .version = ids.version});
  return image;
}

camera::FirmwareIdentity IdsOf(const camera::Camera &cam) {
  const std::vector<uint8_t> d = cam.DeviceDescriptor();
  return {static_cast<uint16_t>(d[8] | d[9] << 8), static_cast<uint16_t>(d[10] | d[11] << 8),
          static_cast<uint16_t>(d[12] | d[13] << 8)};
}

// A flash the update mode can erase and program at once: no block protection, guard open.
camera::Config Unprotected() {
  camera::Config config;
  config.flash.statusRegister = 0x00;
  config.flash.memory[camera::kLineControl] = 0x14;
  config.flash.memory[camera::kLineLevel] = 0x84;
  return config;
}

class PowerTest : public CameraTest {
 protected:
  // Blocks of 4096 bytes of image to the ROM device, each polled until taken; `end` sends
  // the zero-length block that ends the download.
  void Download(camera::Camera &cam, const std::vector<uint8_t> &image, size_t blocks, bool end) {
    ASSERT_EQ(cam.CurrentPersona(), camera::Camera::Persona::DfuRom);
    for (uint16_t block = 0; block < blocks; block++) {
      const auto data = image.begin() + block * 4096;
      ASSERT_TRUE(Acked(cam.Control({0x21, dfu::kDnload, block, 0, 4096}, {data, data + 4096})));
      const usb::Reply busy = cam.Control(kGetStatus, {});
      cam.Advance(now += 1000 * busy.data.at(1));
      ASSERT_EQ(cam.Control(kGetStatus, {}).data.at(4), dfu::kDnloadIdle);
    }
    if (end) {
      ASSERT_TRUE(Acked(cam.Control({0x21, dfu::kDnload, (uint16_t)blocks, 0, 0}, {})));
    }
  }
  // The camera's power goes off and on; it is back at once.
  void PowerCycle(camera::Camera &cam) { cam.PowerCycle(now += 1000); }
  uint64_t now = 0;
};

// P3: the request that meets the cut is not acted on and gets no answer; the camera is
// off the bus for its power-up delay; the rule is spent.
TEST_F(PowerTest, CutComesBeforeTheAnswerAndTheCameraIsBackAfterItsPowerUpDelay) {
  auto cam = Attach(Unprotected());
  XuUnitId = 6;
  ASSERT_TRUE(ResetToUpdateFW(Io()));
  cam->Misbehave().powerCut = camera::PowerCutRule{camera::Request(0xC0, 0x30), 2};
  UINT8 sr = 0;
  EXPECT_TRUE(ReadSr(Io(), &sr));  // two status reads answered
  EXPECT_TRUE(ReadSr(Io(), &sr));
  const size_t cut = NextTransfer();
  EXPECT_FALSE(ReadSr(Io(), &sr));
  EXPECT_EQ(Transfers()[cut].status, EFI_TIMEOUT);
  EXPECT_TRUE(Transfers()[cut].reachedDevice);
  EXPECT_EQ(cam->Flash().StatusReads(), 2u);
  EXPECT_EQ(cam->PowerCuts(), 1u);
  EXPECT_FALSE(cam->Misbehave().powerCut.has_value());
  EXPECT_THAT(P.Usb().Handles(Port()), IsEmpty());

  P.AdvanceTime(cam->Settings().powerUpDelayUs - 1);
  EXPECT_THAT(P.Usb().Handles(Port()), IsEmpty());
  P.AdvanceTime(1);
  ASSERT_EQ(P.Usb().Handles(Port()).size(), 2u);
  EXPECT_EQ(cam->CurrentMode(), camera::Camera::Mode::Running);  // P2: update mode is gone
  EXPECT_FALSE(ReadSr(Io(), &sr));
  ASSERT_TRUE(ResetToUpdateFW(Io()));
  EXPECT_TRUE(ReadSr(Io(), &sr));  // spent: no second cut
  EXPECT_EQ(cam->PowerCuts(), 1u);

  // A cut at an erase: the erase never happens.
  cam->Misbehave().powerCut = camera::PowerCutRule{camera::Request(0x40, 0x32)};
  EXPECT_FALSE(EraseFlash(Io()));
  EXPECT_EQ(cam->Flash().Erases(), 0u);
  EXPECT_TRUE(cam->Flash().Tagged());
}

TEST_F(PowerTest, PowerCutTextNamesTheRequestTypeAndHowManyAreAnsweredFirst) {
  const usb::Setup block{0x21, 0x01, 3, 0, 4096};
  const std::optional<camera::PowerCutRule> rule = camera::ParsePowerCut("21.01:15");
  ASSERT_TRUE(rule.has_value());
  EXPECT_EQ(rule->skip, 15u);
  EXPECT_TRUE(rule->match(block, {}));
  EXPECT_FALSE(rule->match({0xA1, 0x03, 0, 0, 6}, {}));
  EXPECT_EQ(camera::ParsePowerCut("c0.2E")->skip, 0u);
  for (const char *bad : {"", "2101", "21.01:", "21.01:x", "21-01", "2.101", "21.01:15 ", "g1.01"}) {
    EXPECT_FALSE(camera::ParsePowerCut(bad).has_value()) << bad;
  }
}

// P1, P2: the flash, its tag and the stored status bits survive; the controller memory
// returns to its power-on values.
TEST_F(PowerTest, FlashAndStatusRegisterSurviveAndTheControllerMemoryIsReset) {
  camera::Camera cam;
  const uint8_t wpControl = cam.Flash().Memory(camera::kWpControl);
  const uint8_t wpLevel = cam.Flash().Memory(camera::kWpLevel);
  ASSERT_TRUE(Acked(cam.Control(kUpdateMode, {})));
  ASSERT_TRUE(Acked(cam.Control(WriteMemory(camera::kWpControl), {uint8_t(wpControl | 1)})));
  ASSERT_TRUE(Acked(cam.Control(WriteMemory(camera::kWpLevel), {uint8_t(wpLevel | 1)})));
  ASSERT_TRUE(Acked(cam.Control(WriteMemory(camera::kLineControl), {0x1C})));
  ASSERT_TRUE(Acked(cam.Control(WriteMemory(camera::kLineLevel), {0x8C})));
  ASSERT_TRUE(Acked(cam.Control(kWriteSr, {0x00})));
  while (cam.Flash().Busy()) {
    ASSERT_TRUE(Acked(cam.Control(kReadSr, {})));
  }
  ASSERT_TRUE(Acked(cam.Control(kErase, {})));
  ASSERT_TRUE(Acked(cam.Control(Program(0, 4), {1, 2, 3, 4})));
  ASSERT_EQ(cam.Flash().Erases(), 1u);
  ASSERT_TRUE(Acked(cam.Control(kWriteSr, {0x00})));
  ASSERT_TRUE(cam.Flash().Busy());

  cam.CutPower();
  EXPECT_FALSE(cam.Connected());
  cam.Advance(now += cam.Settings().powerUpDelayUs);
  ASSERT_TRUE(cam.Connected());
  EXPECT_EQ(cam.Flash().Memory(camera::kWpControl), wpControl);
  EXPECT_EQ(cam.Flash().Memory(camera::kWpLevel), wpLevel);
  EXPECT_EQ(cam.Flash().Memory(camera::kLineControl), 0x10);
  EXPECT_EQ(cam.Flash().Memory(camera::kLineLevel), 0x80);
  EXPECT_FALSE(cam.Flash().Busy());
  EXPECT_EQ(cam.Flash().StatusRegister(), 0x00);
  EXPECT_EQ(cam.Flash().Contents(0, 5), (std::vector<uint8_t>{1, 2, 3, 4, 0xFF}));
  EXPECT_FALSE(cam.Flash().Tagged());  // the erase cleared it, nothing tagged since
  EXPECT_TRUE(cam.RunsRomCode());      // P5
}

// P5, P6: with no DFU download behind it, the flash decides; a restart starts the same as
// a power-up but keeps the controller memory.
TEST_F(PowerTest, FlashDecidesWhatTheCameraStarts) {
  struct Row {
    const char *what;
    bool tagged;
    bool versionBlock;
    camera::Camera::Boot boot;
  };
  const Row rows[] = {
      {"tagged, with a version block", true, true, {Start::Firmware, kFlashIds}},
      {"tagged, no version block", true, false, {Start::Firmware, kOldIds}},
      {"untagged", false, true, {Start::RomCode, kOldIds}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    for (const bool restart : {false, true}) {
      camera::Config config;
      config.flash.tagged = row.tagged;
      config.flash.contents = row.versionBlock ? Image(kFlashIds) : std::vector<uint8_t>(16, 0);
      camera::Camera cam(config);
      EXPECT_EQ(IdsOf(cam), kOldIds);  // a camera starts as its Config describes it
      EXPECT_EQ(cam.RunsRomCode(), !row.tagged);
      EXPECT_EQ(cam.NextBoot(), row.boot);
      ASSERT_TRUE(Acked(cam.Control(kUpdateMode, {})));
      ASSERT_TRUE(Acked(cam.Control(WriteMemory(camera::kWpControl), {0x41})));
      if (restart) {
        ASSERT_TRUE(Acked(cam.Control({0x21, 0x01, 0x0A00, 0x0600, 8},
                                      {0x00, camera::kCommandResetToDLFW, 0, 0, 0, 0, 0, 0})));
        cam.Advance(now += cam.Settings().restartDelayUs);
      } else {
        PowerCycle(cam);
      }
      ASSERT_TRUE(cam.Connected());
      EXPECT_EQ(IdsOf(cam), row.boot.identity);
      EXPECT_EQ(cam.RunsRomCode(), row.boot.start == Start::RomCode);
      EXPECT_EQ(cam.CurrentPersona(), camera::Camera::Persona::Runtime);
      EXPECT_EQ(cam.CurrentMode(), camera::Camera::Mode::Running);
      // ROM code refuses the information command and serves the flash without update mode.
      const usb::Reply info = cam.Control({0x21, 0x01, 0x0A00, 0x0600, 8},
                                          {0x00, camera::kCommandGetInfo, 0, 0, 8, 0, 0, 0});
      EXPECT_EQ(Acked(info), row.boot.start == Start::Firmware);
      EXPECT_EQ(Acked(cam.Control(kReadSr, {})), row.boot.start == Start::RomCode);
      EXPECT_EQ(cam.Flash().Memory(camera::kWpControl), restart ? 0x41 : 0x40);
    }
  }
}

// P4: a DFU download the ROM device took blocks of decides over the flash.
TEST_F(PowerTest, DfuDownloadDecidesOverTheFlash) {
  struct Row {
    const char *what;
    size_t blocks;
    bool end;
    bool versionBlock;
    camera::Camera::Boot boot;
  };
  const Row rows[] = {
      {"no block taken", 0, false, true, {Start::Firmware, kOldIds}},
      {"blocks taken, not ended", 2, false, true, {Start::DfuRom, kOldIds}},
      {"every block taken, not ended", 3, false, true, {Start::DfuRom, kOldIds}},
      {"ended", 3, true, true, {Start::Firmware, kDfuIds}},
      {"ended, no version block", 3, true, false, {Start::DfuRom, kOldIds}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    camera::Camera cam;
    cam.BecomeDfuRom();
    Download(cam, row.versionBlock ? Image(kDfuIds) : std::vector<uint8_t>(0x3000, 0x5A),
             row.blocks, row.end);
    EXPECT_EQ(cam.NextBoot(), row.boot);
    cam.CutPower();
    cam.Advance(now += cam.Settings().powerUpDelayUs);
    ASSERT_TRUE(cam.Connected());
    const bool rom = row.boot.start == Start::DfuRom;
    EXPECT_EQ(cam.CurrentPersona(),
              rom ? camera::Camera::Persona::DfuRom : camera::Camera::Persona::Runtime);
    EXPECT_EQ(IdsOf(cam), rom ? kRomIds : row.boot.identity);
    if (rom) {
      EXPECT_THAT(cam.Rom()->Image(), IsEmpty());  // a fresh ROM device, in dfuIDLE
      EXPECT_EQ(cam.Rom()->State(), dfu::kDfuIdle);
    }
    // Stranded until a download is ended: another power-up before any block is the ROM
    // device again; the image that started stays what starts.
    PowerCycle(cam);
    EXPECT_EQ(cam.NextBoot(), row.boot);
    EXPECT_EQ(cam.CurrentPersona(),
              rom ? camera::Camera::Persona::DfuRom : camera::Camera::Persona::Runtime);
  }
}

// P5: the firmware that came by DFU starts again whatever the flash's version block says,
// until the flash is erased.
TEST_F(PowerTest, FirmwareThatCameByDfuStartsUntilTheFlashIsErased) {
  camera::Config config = Unprotected();
  config.flash.contents = Image(kFlashIds);
  camera::Camera cam(config);
  cam.BecomeDfuRom();
  Download(cam, Image(kDfuIds), 3, true);
  ASSERT_TRUE(Acked(cam.Control(kRomDetach, {})));
  cam.Advance(now += cam.Settings().dfu.romDetachDelayUs);
  ASSERT_EQ(IdsOf(cam), kDfuIds);
  PowerCycle(cam);
  EXPECT_EQ(IdsOf(cam), kDfuIds);

  ASSERT_TRUE(Acked(cam.Control(kUpdateMode, {})));
  ASSERT_TRUE(Acked(cam.Control(kErase, {})));
  const std::vector<uint8_t> image = Image(kFlashIds, 0x2000);
  for (uint16_t at = 0; at < image.size(); at += 256) {
    ASSERT_TRUE(Acked(cam.Control(Program(at, 256), {image.begin() + at, image.begin() + at + 256})));
  }
  EXPECT_EQ(cam.NextBoot(), (camera::Camera::Boot{Start::RomCode, kDfuIds}));  // untagged
  ASSERT_TRUE(Acked(cam.Control(kTag, {})));
  PowerCycle(cam);
  EXPECT_EQ(IdsOf(cam), kFlashIds);
}

// A camera rebuilt from the state a cut in a DFU download left: its ROM device, which
// takes the whole image and starts it.
TEST_F(PowerTest, ConfigStartsTheCameraStrandedInItsDfuRom) {
  camera::Config config;
  config.dfuDownloadUnfinished = true;
  auto cam = Attach(config);
  EXPECT_EQ(cam->CurrentPersona(), camera::Camera::Persona::DfuRom);
  EXPECT_TRUE(cam->DfuDownloadUnfinished());
  ASSERT_EQ(P.Usb().Handles(Port()).size(), 1u);
  EFI_USB_DEVICE_DESCRIPTOR device;
  ASSERT_EQ(Io()->UsbGetDeviceDescriptor(Io(), &device), EFI_SUCCESS);
  EXPECT_EQ(device.IdProduct, 0x4C00);
  EXPECT_EQ(cam->NextBoot(), (camera::Camera::Boot{Start::DfuRom, kOldIds}));

  Download(*cam, Image(kDfuIds), 3, true);
  ASSERT_TRUE(Acked(cam->Control(kRomDetach, {})));
  cam->Advance(now += cam->Settings().dfu.romDetachDelayUs);
  EXPECT_EQ(IdsOf(*cam), kDfuIds);
  EXPECT_FALSE(cam->DfuDownloadUnfinished());
}

}  // namespace
