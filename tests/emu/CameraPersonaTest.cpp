// The camera personas of the server's catalogue: what each one is, its options, its state
// records, and the DFU path's re-enumerations as the usbredir peer sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "RedirPeer.h"
#include "camera/Camera.h"
#include "emu/server/CameraPersona.h"
#include "emu/server/Persona.h"
#include "emu/server/StateFile.h"
#include "tools/CapsuleFormat.h"

namespace {

using emu_test::RedirLink;

constexpr uint16_t kVid = 0x3B5A;
constexpr uint16_t kPid = 0x4C15;

std::unique_ptr<emu::Persona> Make(const std::string &name,
                                   std::map<std::string, std::string> options = {}) {
  return emu::MakePersona(name, emu::PersonaOptions(std::move(options)));
}

camera::Camera &CameraOf(emu::Persona &persona) {
  return dynamic_cast<emu::CameraPersona &>(persona).Camera();
}

struct Ids {
  uint16_t vid, pid, bcd;
};
Ids IdsOf(usb::Device &device) {
  const std::vector<uint8_t> d = device.DeviceDescriptor();
  return {static_cast<uint16_t>(d[8] | d[9] << 8), static_cast<uint16_t>(d[10] | d[11] << 8),
          static_cast<uint16_t>(d[12] | d[13] << 8)};
}

uint16_t ChipOf(camera::Camera &cam) {
  const camera::Information &info = cam.Settings().information;
  return static_cast<uint16_t>(info[2] | info[3] << 8);
}

// Lines of a state text whose key is `key`.
std::vector<std::string> Records(const std::string &text, const std::string &key) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end == std::string::npos ? end : end - at);
    if (line.rfind(key + " ", 0) == 0) {
      out.push_back(line.substr(key.size() + 1));
    }
    if (end == std::string::npos) {
      break;
    }
    at = end + 1;
  }
  return out;
}

TEST(CameraPersonaTest, CatalogueHoldsTheFourCamerasOfARealUpdate) {
  auto flash = Make("camera-flash");
  auto dfuInterface = Make("camera-dfu-interface");
  auto dfuCapable = Make("camera-dfu-capable");
  auto other = Make("camera-other-ids");

  EXPECT_EQ(ChipOf(CameraOf(*flash)), 0x4C01);
  EXPECT_FALSE(CameraOf(*flash).Settings().dfuInterface);
  EXPECT_EQ(ChipOf(CameraOf(*dfuInterface)), 0x4C01);
  EXPECT_TRUE(CameraOf(*dfuInterface).Settings().dfuInterface);
  EXPECT_EQ(ChipOf(CameraOf(*dfuCapable)), 0x4C15);
  EXPECT_FALSE(CameraOf(*dfuCapable).Settings().dfuInterface);

  for (emu::Persona *p : {flash.get(), dfuInterface.get(), dfuCapable.get()}) {
    const Ids ids = IdsOf(p->Device());
    EXPECT_EQ(ids.vid, kVid);
    EXPECT_EQ(ids.pid, kPid);
    EXPECT_EQ(ids.bcd, 0x0102);
  }
  EXPECT_EQ(IdsOf(other->Device()).pid, 0x9999);
  // The run-time DFU interface is the camera's third interface.
  EXPECT_EQ(CameraOf(*dfuInterface).ConfigurationDescriptor()[4], 3);
  EXPECT_EQ(CameraOf(*flash).ConfigurationDescriptor()[4], 2);
}

TEST(CameraPersonaTest, OptionsSetTheIdsTheChipAndTheDelays) {
  auto persona = Make("camera-dfu-capable", {{"vid", "0x1234"},
                                             {"pid", "0x5678"},
                                             {"bcd", "0x0300"},
                                             {"chip", "0x4C10"},
                                             {"restart-delay-ms", "250"},
                                             {"detach-delay-ms", "300"},
                                             {"rom-detach-delay-ms", "400"},
                                             {"block-busy-ms", "0"},
                                             {"old-image-kib", "4"}});
  camera::Camera &cam = CameraOf(*persona);
  const Ids ids = IdsOf(cam);
  EXPECT_EQ(ids.vid, 0x1234);
  EXPECT_EQ(ids.pid, 0x5678);
  EXPECT_EQ(ids.bcd, 0x0300);
  EXPECT_EQ(ChipOf(cam), 0x4C10);
  EXPECT_EQ(cam.Settings().restartDelayUs, 250'000u);
  EXPECT_EQ(cam.Settings().dfu.detachDelayUs, 300'000u);
  EXPECT_EQ(cam.Settings().dfu.romDetachDelayUs, 400'000u);
  EXPECT_EQ(cam.Settings().dfu.blockBusyMs, 0u);
  const std::vector<uint8_t> old = emu::OldFirmwareImage(4);
  EXPECT_TRUE(std::equal(old.begin(), old.end(), cam.Flash().Contents().begin()));
  EXPECT_EQ(cam.Flash().Contents()[old.size()], 0xFF);
}

TEST(CameraPersonaTest, BadOptionsAreRefused) {
  EXPECT_THROW(Make("camera-flash", {{"detach-delay-ms", "60001"}}), std::invalid_argument);
  EXPECT_THROW(Make("camera-flash", {{"old-image-kib", "1025"}}), std::invalid_argument);
  EXPECT_THROW(Make("camera-flash", {{"pid", "0x10000"}}), std::invalid_argument);
  EXPECT_THROW(Make("camera-flash", {{"colour", "blue"}}), std::invalid_argument);
}

TEST(CameraPersonaTest, OldImageIsNotErasedFlashAndDiffersPageByPage) {
  const std::vector<uint8_t> image = emu::OldFirmwareImage(192);
  ASSERT_EQ(image.size(), 192u * 1024);
  EXPECT_LT(std::count(image.begin(), image.end(), 0xFF), 192 * 1024 / 64);
  for (size_t page = 1; page < image.size() / 256; page++) {
    ASSERT_FALSE(std::equal(image.begin(), image.begin() + 256, image.begin() + page * 256))
        << "page " << page;
  }
}

TEST(CameraPersonaTest, FreshStateRecordsTheUntouchedFlashAndNoRomDevice) {
  auto persona = Make("camera-flash", {{"old-image-kib", "8"}});
  emu::StateFile state;
  persona->DescribeState(state);
  const std::string text = state.Text("/x/state.txt");
  const std::vector<std::string> cam = Records(text, "camera");
  ASSERT_EQ(cam.size(), 1u);
  EXPECT_EQ(cam[0],
            "persona=runtime mode=running chip=0x4C01 dfu-interface=0 command-blocks=0 "
            "recovery-blocks=0 resets-to-update=0 restarts=0 dfu-detaches=0");
  const std::vector<std::string> flash = Records(text, "flash");
  ASSERT_EQ(flash.size(), 1u);
  EXPECT_EQ(flash[0].rfind("size=1048576 used=8192 changed=0 tagged=1 status-register=0x8C "
                           "write-protected=1 erases=0 page-programs=0",
                           0),
            0u)
      << flash[0];
  EXPECT_TRUE(Records(text, "rom").empty());
  EXPECT_EQ(Records(text, "blob"),
            std::vector<std::string>{"name=flash file=state.txt.flash.bin size=1048576"});
}

// The DFU path on the wire: the camera leaves after the detach request, the peer sees the
// ROM device arrive after the delay, the image goes down, and after DFU_DETACH the camera
// comes back with the identity of the image's version block.
TEST(CameraPersonaTest, DfuPathReEnumeratesAsTheRomDeviceAndBackAsTheNewCamera) {
  auto persona = Make("camera-dfu-capable", {{"detach-delay-ms", "300"},
                                             {"rom-detach-delay-ms", "200"},
                                             {"block-busy-ms", "0"}});
  RedirLink link(persona->Device());
  link.Settle();
  ASSERT_EQ(link.peer->connects.size(), 1u);
  EXPECT_EQ(link.peer->connects[0].product_id, kPid);
  EXPECT_EQ(link.peer->connects[0].device_version_bcd, 0x0102);

  // Allow the update, then the vendor detach: the camera leaves the bus at once.
  uint64_t id = link.peer->SendControl(0x00, 0x1B, 1, 0, 0);
  link.Settle();
  EXPECT_EQ(link.peer->answers[id].header.status, usb_redir_success);
  id = link.peer->SendControl(0x40, 0x50, 0, 0, 0);
  link.Settle();
  EXPECT_EQ(link.peer->answers[id].header.status, usb_redir_success);
  EXPECT_EQ(link.peer->disconnects, 1);

  link.Advance(299'000);
  link.Settle();
  EXPECT_EQ(link.peer->connects.size(), 1u);
  link.Advance(2'000);
  link.Settle();
  ASSERT_EQ(link.peer->connects.size(), 2u);
  EXPECT_EQ(link.peer->connects[1].vendor_id, kVid);
  EXPECT_EQ(link.peer->connects[1].product_id, 0x4C00);
  EXPECT_EQ(link.peer->connects[1].device_version_bcd, 0x0100);
  EXPECT_EQ(link.peer->interfaceInfos.back().interface_count, 1u);
  EXPECT_EQ(link.peer->interfaceInfos.back().interface_class[0], 0xFE);

  // An image of three blocks with a version block naming version 0x0101.
  capfmt::Bytes image(3 * 4096 - 100);
  for (size_t i = 0; i < image.size(); i++) {
    image[i] = static_cast<uint8_t>(i * 31 + 7);
  }
  capfmt::VersionBlock block;
  block.version = 0x0101;
  capfmt::PutVersionBlock(image, block);
  uint16_t number = 0;
  for (size_t at = 0; at < image.size(); at += 4096, number++) {
    const size_t length = std::min<size_t>(4096, image.size() - at);
    std::vector<uint8_t> data(image.begin() + static_cast<ptrdiff_t>(at),
                              image.begin() + static_cast<ptrdiff_t>(at + length));
    id = link.peer->SendControl(0x21, 1, number, 0, static_cast<uint16_t>(length), data);
    link.Settle();
    ASSERT_EQ(link.peer->answers[id].header.status, usb_redir_success) << "block " << number;
    id = link.peer->SendControl(0xA1, 3, 0, 0, 6);
    link.Settle();
    ASSERT_EQ(link.peer->answers[id].data.size(), 6u);
    EXPECT_EQ(link.peer->answers[id].data[4], camera::dfu::kDnloadIdle);
  }
  id = link.peer->SendControl(0x21, 1, number, 0, 0);  // the end of the download
  link.Settle();
  EXPECT_EQ(link.peer->answers[id].header.status, usb_redir_success);
  id = link.peer->SendControl(0x21, 0, 0x5000, 0, 0);  // DFU_DETACH to the ROM device
  link.Settle();
  EXPECT_EQ(link.peer->answers[id].header.status, usb_redir_success);
  EXPECT_EQ(link.peer->disconnects, 2);

  link.Advance(201'000);
  link.Settle();
  ASSERT_EQ(link.peer->connects.size(), 3u);
  EXPECT_EQ(link.peer->connects[2].vendor_id, kVid);
  EXPECT_EQ(link.peer->connects[2].product_id, kPid);
  EXPECT_EQ(link.peer->connects[2].device_version_bcd, 0x0101);
  EXPECT_EQ(link.server->Counters().disconnectAcks, 2u);

  emu::StateFile state;
  persona->DescribeState(state);
  const std::string text = state.Text("/x/state.txt");
  const std::vector<std::string> rom = Records(text, "rom");
  ASSERT_EQ(rom.size(), 1u);
  EXPECT_EQ(rom[0], "state=6 status=0 received=12188 blocks=3 manifested=1 "
                    "boots=0x3B5A:0x4C15:0x0101");
  EXPECT_EQ(CameraOf(*persona).Rom()->Image(), image);
  const std::vector<std::string> blobs = Records(text, "blob");
  EXPECT_NE(std::find(blobs.begin(), blobs.end(),
                      "name=rom-image file=state.txt.rom-image.bin size=12188"),
            blobs.end());
  const std::vector<std::string> cam = Records(text, "camera");
  ASSERT_EQ(cam.size(), 1u);
  EXPECT_NE(cam[0].find("persona=runtime"), std::string::npos);
  EXPECT_NE(cam[0].find("dfu-detaches=2"), std::string::npos);
}

// The flash path's restart on the wire: the camera leaves and comes back as the same
// device after its restart delay, and the peer is told both.
TEST(CameraPersonaTest, RestartIsADisconnectAndAConnectAfterTheDelay) {
  auto persona = Make("camera-flash", {{"restart-delay-ms", "250"}});
  RedirLink link(persona->Device());
  link.Settle();
  camera::Camera &cam = CameraOf(*persona);
  const uint8_t unit = *cam.CommandUnitId();
  // The restart command block on the extension unit's command selector.
  const std::vector<uint8_t> block{0x00, camera::kCommandResetToDLFW, 0, 0, 0, 0, 0, 0};
  const uint64_t id = link.peer->SendControl(
      0x21, 0x01, camera::kCommandSelector << 8, static_cast<uint16_t>(unit << 8), 8, block);
  link.Settle();
  EXPECT_EQ(link.peer->answers[id].header.status, usb_redir_success);
  EXPECT_EQ(link.peer->disconnects, 1);
  link.Advance(249'000);
  link.Settle();
  EXPECT_EQ(link.peer->connects.size(), 1u);
  link.Advance(2'000);
  link.Settle();
  ASSERT_EQ(link.peer->connects.size(), 2u);
  EXPECT_EQ(link.peer->connects[1].product_id, kPid);
  EXPECT_EQ(cam.Restarts(), 1u);
}

// A power cut on the wire: the request it meets gets no answer and the camera leaves; it
// powers up as what survived says; a server started from the state it left has the same
// camera as it powers up again.
TEST(CameraPersonaTest, PowerCutLeavesAStateTheNextServerStartsFrom) {
  auto persona = Make("camera-dfu-capable", {{"detach-delay-ms", "300"},
                                             {"power-up-delay-ms", "200"},
                                             {"block-busy-ms", "0"},
                                             {"power-cut", "21.01:1"}});
  RedirLink link(persona->Device());
  link.Settle();
  link.peer->SendControl(0x00, 0x1B, 1, 0, 0);
  link.peer->SendControl(0x40, 0x50, 0, 0, 0);
  link.Settle();
  link.Advance(301'000);
  link.Settle();
  ASSERT_EQ(link.peer->connects.size(), 2u);  // the ROM device
  const std::vector<uint8_t> data(4096, 0x5A);
  uint64_t id = link.peer->SendControl(0x21, 1, 0, 0, 4096, data);
  link.Settle();
  ASSERT_EQ(link.peer->answers[id].header.status, usb_redir_success);
  id = link.peer->SendControl(0x21, 1, 1, 0, 4096, data);  // the power fails here
  link.Settle();
  EXPECT_EQ(link.peer->answers.count(id), 0u);
  EXPECT_EQ(link.peer->disconnects, 2);
  link.Advance(201'000);
  link.Settle();
  ASSERT_EQ(link.peer->connects.size(), 3u);
  EXPECT_EQ(link.peer->connects[2].product_id, 0x4C00);  // stranded in the ROM device

  const std::string path = ::testing::TempDir() + "kvr-power-cut-state.txt";
  emu::StateFile state;
  state.Add("persona", "camera-dfu-capable");
  persona->DescribeState(state);
  EXPECT_EQ(Records(state.Text(path), "power"),
            std::vector<std::string>{"cuts=1 next-boot=dfu-rom vid=0x3B5A pid=0x4C15 bcd=0x0102"});
  std::string error;
  ASSERT_TRUE(state.Write(path, &error)) << error;

  emu::SavedState saved;
  ASSERT_TRUE(emu::ReadStateFile(path, &saved, &error)) << error;
  EXPECT_EQ(saved.persona, "camera-dfu-capable");
  auto next = emu::MakePersona("camera-dfu-capable", emu::PersonaOptions(), &saved);
  camera::Camera &cam = CameraOf(*next);
  EXPECT_EQ(cam.CurrentPersona(), camera::Camera::Persona::DfuRom);
  EXPECT_EQ(IdsOf(cam).pid, 0x4C00);
  EXPECT_EQ(cam.NextBoot(), (camera::Camera::Boot{camera::Camera::Start::DfuRom,
                                                 {kVid, kPid, 0x0102}}));
  EXPECT_EQ(cam.Flash().Contents(), CameraOf(*persona).Flash().Contents());
  EXPECT_EQ(cam.Flash().StatusRegister(), 0x8C);
  EXPECT_EQ(cam.PowerCuts(), 0u);

  EXPECT_THROW(emu::MakePersona("camera-flash", emu::PersonaOptions(), &saved),
               std::invalid_argument);
  saved.persona = "test-device";
  EXPECT_THROW(emu::MakePersona("test-device", emu::PersonaOptions(), &saved),
               std::invalid_argument);
  EXPECT_THROW(Make("camera-flash", {{"power-cut", "21.01:x"}}), std::invalid_argument);

  // A file cut short, or one whose blob is gone, is refused.
  std::remove((path + ".flash.bin").c_str());
  EXPECT_FALSE(emu::ReadStateFile(path, &saved, &error));
  EXPECT_NE(error.find("flash.bin"), std::string::npos) << error;
  {
    std::ofstream cut(path, std::ios::trunc);
    cut << "kvr-camera-state 1\npersona camera-flash\n";
  }
  EXPECT_FALSE(emu::ReadStateFile(path, &saved, &error));
  EXPECT_FALSE(emu::ReadStateFile(path + ".none", &saved, &error));
  std::remove(path.c_str());
  std::remove((path + ".rom-image.bin").c_str());
}

}  // namespace
