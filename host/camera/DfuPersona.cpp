// The camera's DFU side: the allow-update request, the two detach requests that turn the
// runtime camera into its DFU ROM device, the ROM persona itself, and the way back to the
// camera with the firmware the ROM device received.
//
// The runtime camera takes a detach only after the allow-update request (0x00/0x1B, wValue
// 1): the vendor detach 0x40/0x50 to the device, or DFU_DETACH to its DFU run-time
// interface. It then leaves the bus and, DfuConfig::detachDelayUs later, enumerates as the
// ROM device. DFU_DETACH to the ROM device, when the ROM takes it (DfuRom::Detach, the ROM's
// departure from DFU 1.1), makes it leave again and, romDetachDelayUs later, come back as
// the camera with the identity of the firmware it now runs (see DfuRom::BootIdentity), or
// as the ROM device again when it holds no firmware it can start.
#include "camera/Camera.h"

namespace camera {
namespace {

constexpr uint8_t kAllowUpdateRequestType = 0x00;
constexpr uint8_t kAllowUpdateRequest = 0x1B;
constexpr uint16_t kAllowUpdateValue = 1;
constexpr uint8_t kDetachHideRequestType = 0x40;
constexpr uint8_t kDetachHideRequest = 0x50;
constexpr uint16_t kRuntimeDfuInterface = 2;  // the last interface, when present

bool NoData(const usb::Setup &setup) { return setup.wLength == 0; }

}  // namespace

void Camera::BecomeDfuRom() {
  persona_ = Persona::DfuRom;
  rom_ = std::make_unique<DfuRom>(config_.dfu, misbehaviour_.dfu, nowUs_);
  StandardDevice::PortReset();
  generation_++;
}

std::optional<usb::Reply> Camera::DfuRequest(const usb::Setup &setup,
                                             const std::vector<uint8_t> &dataOut) {
  if (persona_ == Persona::DfuRom) {
    if (setup.bmRequestType == dfu::kRequestTypeOut && setup.bRequest == dfu::kDetach &&
        setup.wIndex == 0 && NoData(setup)) {
      if (!rom_->Detach()) {
        return usb::Stall();  // DFU 1.1's answer, unless the ROM's departure applies
      }
      std::optional<FirmwareIdentity> boots = rom_->BootIdentity();
      if (!boots) {
        // Nothing it can start: the ROM code runs again.
        DfuDetach(Persona::DfuRom, std::nullopt, config_.dfu.romDetachDelayUs,
                  !misbehaviour_.dfu.cameraNeverReturns);
      } else {
        DfuDetach(Persona::Runtime, misbehaviour_.dfu.keepOldVersion ? std::nullopt : boots,
                  config_.dfu.romDetachDelayUs, !misbehaviour_.dfu.cameraNeverReturns);
      }
      return usb::Ack();
    }
    usb::Reply reply = rom_->Control(setup, dataOut);
    NoteDfuDownload();
    return reply;
  }

  if (setup.bmRequestType == kAllowUpdateRequestType && setup.bRequest == kAllowUpdateRequest) {
    if (setup.wValue != kAllowUpdateValue || setup.wIndex != 0 || !NoData(setup)) {
      return usb::Stall();
    }
    updateAllowed_ = true;
    return usb::Ack();
  }
  const bool vendorDetach =
      setup.bmRequestType == kDetachHideRequestType && setup.bRequest == kDetachHideRequest;
  const bool dfuInterfaceRequest =
      config_.dfuInterface && (setup.bmRequestType & ~usb::kDirectionIn) == dfu::kRequestTypeOut &&
      setup.wIndex == kRuntimeDfuInterface;
  if (vendorDetach && (setup.wValue != 0 || setup.wIndex != 0 || !NoData(setup))) {
    return usb::Stall();
  }
  if (dfuInterfaceRequest) {
    // The DFU run-time interface: appIDLE until detached.
    if (setup.bmRequestType == dfu::kRequestTypeIn && setup.bRequest == dfu::kGetStatus) {
      std::vector<uint8_t> answer{dfu::kStatusOk, 0, 0, 0, dfu::kAppIdle, 0};
      answer.resize(std::min<size_t>(answer.size(), setup.wLength));
      return usb::Ack(std::move(answer));
    }
    if (setup.bmRequestType == dfu::kRequestTypeIn && setup.bRequest == dfu::kGetState &&
        setup.wLength >= 1) {
      return usb::Ack({dfu::kAppIdle});
    }
    if (setup.bmRequestType != dfu::kRequestTypeOut || setup.bRequest != dfu::kDetach ||
        !NoData(setup)) {
      return usb::Stall();
    }
  }
  if (vendorDetach || dfuInterfaceRequest) {
    if (!updateAllowed_) {
      return usb::Stall();
    }
    DfuDetach(Persona::DfuRom, std::nullopt, config_.dfu.detachDelayUs,
              !misbehaviour_.dfu.romNeverAppears);
    return usb::Ack();
  }
  return std::nullopt;
}

void Camera::DfuDetach(Persona next, std::optional<FirmwareIdentity> identity, uint64_t delayUs,
                       bool comeBack) {
  dfuDetaches_++;
  connected_ = false;
  pendingAnswer_.reset();
  updateAllowed_ = false;
  dfuNextPersona_ = next;
  dfuNextIdentity_ = identity;
  if (comeBack) {
    dfuReturnAtUs_ = nowUs_ + delayUs;
  } else {
    dfuReturnAtUs_.reset();
  }
}

void Camera::DfuAdvance() {
  if (rom_ && persona_ == Persona::DfuRom) {
    rom_->Advance(nowUs_);
  }
  if (!dfuReturnAtUs_ || nowUs_ < *dfuReturnAtUs_) {
    return;
  }
  dfuReturnAtUs_.reset();
  if (dfuNextPersona_ == Persona::DfuRom) {
    BecomeDfuRom();  // a fresh ROM device; the last one's blocks stay readable until then
  } else {
    persona_ = Persona::Runtime;
    dfuDownload_ = DfuDownload::None;
    if (dfuNextIdentity_) {
      config_.device.idVendor = dfuNextIdentity_->vid;
      config_.device.idProduct = dfuNextIdentity_->pid;
      config_.device.bcdDevice = dfuNextIdentity_->version;
      runsDfuImage_ = true;
    }
    StandardDevice::PortReset();
    generation_++;
  }
  mode_ = Mode::Running;
  connected_ = true;
}

}  // namespace camera
