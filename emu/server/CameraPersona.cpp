// The camera personas of the server's catalogue.
#include "emu/server/CameraPersona.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace emu {

namespace {

constexpr uint64_t kMaxDelayMs = 60'000;
constexpr uint64_t kDefaultOldImageKib = 192;
constexpr uint16_t kFlashChip = 0x4C01;       // no DFU: the flash path
constexpr uint16_t kDfuCapableChip = 0x4C15;  // DFU-capable: the DFU path, mode 2
constexpr uint16_t kOtherProduct = 0x9999;

std::string Flag(bool value) { return value ? "1" : "0"; }

std::string Identity(const camera::FirmwareIdentity &id) {
  return Hex(id.vid, 4) + ":" + Hex(id.pid, 4) + ":" + Hex(id.version, 4);
}

// Bytes up to the last one that is not erased.
size_t UsedLength(const std::vector<uint8_t> &flash) {
  const auto last = std::find_if(flash.rbegin(), flash.rend(), [](uint8_t b) { return b != 0xFF; });
  return static_cast<size_t>(flash.rend() - last);
}

const char *StartName(camera::Camera::Start start) {
  switch (start) {
    case camera::Camera::Start::Firmware:
      return "firmware";
    case camera::Camera::Start::RomCode:
      return "rom-code";
    case camera::Camera::Start::DfuRom:
      return "dfu-rom";
  }
  return "?";
}

uint64_t SavedNumber(const SavedState &saved, const std::string &record, const std::string &name,
                     uint64_t limit) {
  const std::string &text = saved.Field(record, name);
  char *end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || end != text.c_str() + text.size() || value > limit) {
    throw std::invalid_argument("saved state: " + record + "." + name + "=" + text +
                                " is not a number up to " + std::to_string(limit));
  }
  return value;
}

// The camera as it powers up from what survived in the saved state.
void PowerUpFrom(const SavedState &saved, camera::Config &config) {
  const std::string &next = saved.Field("power", "next-boot");
  if (next != "firmware" && next != "rom-code" && next != "dfu-rom") {
    throw std::invalid_argument("saved state: power.next-boot=" + next + " is not understood");
  }
  config.device.idVendor = static_cast<uint16_t>(SavedNumber(saved, "power", "vid", 0xFFFF));
  config.device.idProduct = static_cast<uint16_t>(SavedNumber(saved, "power", "pid", 0xFFFF));
  config.device.bcdDevice = static_cast<uint16_t>(SavedNumber(saved, "power", "bcd", 0xFFFF));
  config.flash.contents = saved.Blob("flash");
  if (config.flash.contents.size() != config.flash.size) {
    throw std::invalid_argument("saved state: the flash blob holds " +
                                std::to_string(config.flash.contents.size()) + " bytes, not " +
                                std::to_string(config.flash.size));
  }
  config.flash.tagged = SavedNumber(saved, "flash", "tagged", 1) != 0;
  config.flash.statusRegister =
      static_cast<uint8_t>(SavedNumber(saved, "flash", "status-register", 0xFF));
  config.dfuDownloadUnfinished = next == "dfu-rom";
  // The rebuilt camera starts ROM code exactly when its flash is untagged (camera/Power.cpp,
  // P5); firmware that came by DFU over an untagged flash cannot be rebuilt so.
  if ((next == "rom-code" && config.flash.tagged) || (next == "firmware" && !config.flash.tagged)) {
    throw std::invalid_argument("saved state: power.next-boot=" + next + " with flash.tagged=" +
                                saved.Field("flash", "tagged") + " cannot be rebuilt");
  }
}

}  // namespace

std::vector<uint8_t> OldFirmwareImage(size_t kib) {
  std::vector<uint8_t> image(kib * 1024);
  uint32_t x = 0x6B43A9B5;
  for (uint8_t &b : image) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return image;
}

CameraPersona::CameraPersona(camera::Config config)
    : camera_(std::make_unique<camera::Camera>(std::move(config))) {
  initialFlash_ = camera_->Flash().Contents();
}

void CameraPersona::DescribeState(StateFile &state) const {
  const camera::Camera &cam = *camera_;
  const camera::Config &config = cam.Settings();
  const uint16_t chip =
      static_cast<uint16_t>(config.information[2] | (config.information[3] << 8));
  state.Add("camera",
            std::string("persona=") +
                (cam.CurrentPersona() == camera::Camera::Persona::DfuRom ? "dfu-rom" : "runtime") +
                " mode=" + (cam.CurrentMode() == camera::Camera::Mode::Update ? "update" : "running") +
                " chip=" + Hex(chip, 4) + " dfu-interface=" + Flag(config.dfuInterface) +
                " command-blocks=" + std::to_string(cam.CommandBlocks().size()) +
                " recovery-blocks=" + std::to_string(cam.RecoveryBlocks()) +
                " resets-to-update=" + std::to_string(cam.ResetsToUpdateMode()) +
                " restarts=" + std::to_string(cam.Restarts()) +
                " dfu-detaches=" + std::to_string(cam.DfuDetaches()));

  const camera::FlashHardware &flash = cam.Flash();
  const std::vector<uint8_t> &contents = flash.Contents();
  state.Add("flash", "size=" + std::to_string(contents.size()) +
                         " used=" + std::to_string(UsedLength(contents)) +
                         " changed=" + Flag(contents != initialFlash_) +
                         " tagged=" + Flag(flash.Tagged()) +
                         " status-register=" + Hex(flash.StatusRegister(), 2) +
                         " write-protected=" + Flag(flash.WriteProtected()) +
                         " erases=" + std::to_string(flash.Erases()) +
                         " page-programs=" + std::to_string(flash.PagePrograms()) +
                         " status-writes=" + std::to_string(flash.StatusWrites()) +
                         " ignored=" + std::to_string(flash.IgnoredCommands()));
  state.AddBlob("flash", contents);

  const camera::Camera::Boot next = cam.NextBoot();
  state.Add("power", "cuts=" + std::to_string(cam.PowerCuts()) + " next-boot=" +
                         StartName(next.start) + " vid=" + Hex(next.identity.vid, 4) +
                         " pid=" + Hex(next.identity.pid, 4) +
                         " bcd=" + Hex(next.identity.version, 4));

  const camera::DfuRom *rom = camera_->Rom();
  if (rom != nullptr) {
    const std::optional<camera::FirmwareIdentity> boots = rom->BootIdentity();
    state.Add("rom", "state=" + std::to_string(rom->State()) +
                         " status=" + std::to_string(rom->Status()) +
                         " received=" + std::to_string(rom->Image().size()) +
                         " blocks=" + std::to_string(rom->BlockNumbers().size()) +
                         " manifested=" + Flag(rom->Manifested()) +
                         " boots=" + (boots ? Identity(*boots) : std::string("none")));
    state.AddBlob("rom-image", rom->Image());
  }
}

std::unique_ptr<Persona> MakeCameraPersona(CameraKind kind, PersonaOptions &options,
                                           const SavedState *saved) {
  camera::Config config;
  camera::InformationFields information;
  information.chipId = kind == CameraKind::DfuCapable ? kDfuCapableChip : kFlashChip;
  config.dfuInterface = kind == CameraKind::DfuInterface;
  if (kind == CameraKind::OtherIds) {
    config.device.idProduct = kOtherProduct;
  }

  auto id = [&](const char *name, uint16_t fallback) {
    return static_cast<uint16_t>(options.Number(name, fallback, 0xFFFF));
  };
  auto delayUs = [&](const char *name, uint64_t fallbackUs) {
    return options.Number(name, fallbackUs / 1000, kMaxDelayMs) * 1000;
  };
  config.device.idVendor = id("vid", config.device.idVendor);
  config.device.idProduct = id("pid", config.device.idProduct);
  config.device.bcdDevice = id("bcd", config.device.bcdDevice);
  information.chipId = id("chip", information.chipId);
  config.information = camera::DeviceInformation(information);
  config.restartDelayUs = delayUs("restart-delay-ms", config.restartDelayUs);
  config.dfu.detachDelayUs = delayUs("detach-delay-ms", config.dfu.detachDelayUs);
  config.dfu.romDetachDelayUs = delayUs("rom-detach-delay-ms", config.dfu.romDetachDelayUs);
  config.dfu.blockBusyMs =
      static_cast<uint32_t>(options.Number("block-busy-ms", config.dfu.blockBusyMs, kMaxDelayMs));
  const size_t oldKib = options.Number("old-image-kib", kDefaultOldImageKib, config.flash.size / 1024);
  config.flash.contents = OldFirmwareImage(oldKib);
  config.powerUpDelayUs = delayUs("power-up-delay-ms", config.powerUpDelayUs);
  config.dfuDownloadUnfinished = options.Number("dfu-download-unfinished", 0, 1) != 0;
  const std::string powerCut = options.Text("power-cut", "");
  const std::optional<camera::PowerCutRule> cut = camera::ParsePowerCut(powerCut);
  if (!powerCut.empty() && !cut) {
    throw std::invalid_argument("option power-cut=" + powerCut + ": TT.RR or TT.RR:N expected");
  }
  if (saved != nullptr) {
    PowerUpFrom(*saved, config);
  }
  // The ROM device's misbehaviour: stall the write of one block, once; start the image it
  // holds even when the download was not ended.
  constexpr uint64_t kNoBlock = 0x10000;
  const uint64_t stallBlock = options.Number("rom-stall-block", kNoBlock, 0xFFFF);
  const bool bootsIncomplete = options.Number("rom-boots-incomplete", 0, 1) != 0;
  auto persona = std::make_unique<CameraPersona>(std::move(config));
  if (stallBlock != kNoBlock) {
    persona->Camera().Misbehave().stalls.push_back(
        {camera::DfuBlockDownload(static_cast<uint16_t>(stallBlock)), /*skip=*/0, /*times=*/1});
  }
  persona->Camera().Misbehave().dfu.bootsIncompleteImage = bootsIncomplete;
  persona->Camera().Misbehave().powerCut = cut;
  return persona;
}

}  // namespace emu
