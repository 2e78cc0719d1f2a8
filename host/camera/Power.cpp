// The camera's power: a cut at a chosen request, the power-up that follows, and what the
// camera starts when it powers up or restarts.
//
// The real camera's rules are not known; these are the model's assumptions, which the
// tests in tests/camera/PowerTest.cpp check one by one (P1 to P6).
//
// P1 What survives a power cut: the flash array, its tag and the status register's stored
//    bits (write-disable and block protection; the busy bit and the write-enable latch
//    are gone); what the DFU ROM device received of the latest download and whether that
//    download was ended by the zero-length DFU_DNLOAD; whether the firmware the camera last
//    started came by DFU; and the IDs that firmware enumerates with.
// P2 What is lost: the controller memory, which returns to its power-on values (WP# and
//    the guard lines undriven, so the flash is protected again); update mode; a prepared
//    answer of the command channel; the allow-update request; a detach or restart under
//    way; the DFU state machine (a ROM device starts in dfuIDLE).
// P3 A cut comes at a request before the camera answers it: the request is not acted on,
//    the host sees no answer (a timeout), and the camera is off the bus until
//    Config::powerUpDelayUs after the cut.
// P4 A DFU download the ROM device took blocks of and that was not ended powers up as the
//    DFU ROM device again, whatever the flash holds, until a download is ended. An ended
//    download powers up as the firmware it carries, with the VID, PID and version of its
//    version block, as DFU_DETACH to the ROM device would start it; an ended download
//    without a version block cannot start and powers up as the ROM device.
// P5 Otherwise the firmware that came by DFU starts again with its IDs; failing that the
//    flash decides: a tagged flash starts the runtime firmware with its version block's
//    IDs (the camera's last IDs when the flash holds no version block), an untagged one
//    (the chip erase clears the tag) starts the ROM code, which enumerates as the camera
//    with its last IDs, refuses the information command and serves the flash requests. A
//    flash erase makes the flash decide again.
// P6 A restart (the command channel's reset, the flash path's last step) starts what P4 and
//    P5 say, as a power-up does, but keeps the controller memory: it is no power cut.
//
// A camera built from a Config starts as the Config describes it (its IDs, its flash;
// ROM code when the flash is untagged, its ROM device with Config::dfuDownloadUnfinished).
#include "camera/Camera.h"

#include <cctype>
#include <cstdlib>

namespace camera {

std::optional<PowerCutRule> ParsePowerCut(const std::string &text) {
  const auto hexByte = [&](size_t at) -> std::optional<uint8_t> {
    if (at + 2 > text.size() || !std::isxdigit(static_cast<unsigned char>(text[at])) ||
        !std::isxdigit(static_cast<unsigned char>(text[at + 1]))) {
      return std::nullopt;
    }
    return static_cast<uint8_t>(std::strtoul(text.substr(at, 2).c_str(), nullptr, 16));
  };
  const std::optional<uint8_t> type = hexByte(0);
  const std::optional<uint8_t> request = hexByte(3);
  if (!type || !request || text[2] != '.' || (text.size() > 5 && text[5] != ':')) {
    return std::nullopt;
  }
  size_t skip = 0;
  if (text.size() > 5) {
    const std::string count = text.substr(6);
    if (count.empty() || count.size() > 9 ||
        count.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    skip = std::strtoul(count.c_str(), nullptr, 10);
  }
  return PowerCutRule{Request(*type, *request), skip};
}

bool Camera::PowerFails(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) {
  if (!misbehaviour_.powerCut) {
    return false;
  }
  const PowerCutRule &rule = *misbehaviour_.powerCut;
  if (rule.match && !rule.match(setup, dataOut)) {
    return false;
  }
  if (powerCutMatches_++ < rule.skip) {
    return false;
  }
  misbehaviour_.powerCut.reset();
  powerCutMatches_ = 0;
  return true;
}

Camera::Boot Camera::NextBoot() const {
  const FirmwareIdentity last{config_.device.idVendor, config_.device.idProduct,
                              config_.device.bcdDevice};
  if (dfuDownload_ != DfuDownload::None) {
    // P4: the ROM device's download decides; only an ended one with a version block starts.
    const std::optional<FirmwareIdentity> boots =
        rom_ != nullptr && dfuDownload_ == DfuDownload::Ended ? rom_->BootIdentity()
                                                              : std::nullopt;
    return boots ? Boot{Start::Firmware, *boots} : Boot{Start::DfuRom, last};
  }
  if (runsDfuImage_) {
    return {Start::Firmware, last};  // P5
  }
  if (!flash_.Tagged()) {
    return {Start::RomCode, last};
  }
  return {Start::Firmware, FirmwareIdentityOf(flash_.Contents()).value_or(last)};
}

void Camera::LosePower() {
  connected_ = false;
  mode_ = Mode::Running;
  pendingAnswer_.reset();
  updateAllowed_ = false;
  reconnectAtUs_.reset();
  dfuReturnAtUs_.reset();
  powerUpAtUs_.reset();
  flash_.PowerOn();
}

void Camera::CutPower() {
  powerCuts_++;
  LosePower();
  powerUpAtUs_ = nowUs_ + config_.powerUpDelayUs;
}

void Camera::PowerCycle(uint64_t nowUs) {
  nowUs_ = nowUs;
  LosePower();
  StartUp(NextBoot());
}

void Camera::StartUp(const Boot &boot) {
  reconnectAtUs_.reset();
  dfuReturnAtUs_.reset();
  powerUpAtUs_.reset();
  mode_ = Mode::Running;
  pendingAnswer_.reset();
  updateAllowed_ = false;
  config_.device.idVendor = boot.identity.vid;
  config_.device.idProduct = boot.identity.pid;
  config_.device.bcdDevice = boot.identity.version;
  romCode_ = boot.start == Start::RomCode;
  if (boot.start == Start::DfuRom) {
    BecomeDfuRom();  // a fresh ROM device: its state machine starts anew
  } else {
    if (dfuDownload_ != DfuDownload::None) {
      dfuDownload_ = DfuDownload::None;  // the ended download's image is what runs now
      runsDfuImage_ = true;
    }
    persona_ = Persona::Runtime;
    StandardDevice::PortReset();
    generation_++;
  }
  connected_ = true;
}

void Camera::NoteDfuDownload() {
  if (rom_->Manifested()) {
    dfuDownload_ = DfuDownload::Ended;
  } else if (!rom_->BlockNumbers().empty()) {
    dfuDownload_ = DfuDownload::Unfinished;
  }
}

void Camera::NoteFlashErase(size_t erasesBefore) {
  if (flash_.Erases() != erasesBefore) {
    runsDfuImage_ = false;  // P5: the flash decides again
  }
}

}  // namespace camera
