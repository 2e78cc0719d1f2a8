// The DFU ROM device: descriptors, the DFU 1.1 state machine of appendix A and the blocks
// it keeps.
#include "camera/DfuRom.h"

#include <algorithm>
#include <array>

#include "camera/Uvc.h"

namespace camera {
namespace {

constexpr uint8_t kRomInterface = 0;
// bitCanDnload | bitWillDetach, no upload; bitManifestationTolerant as configured.
constexpr uint8_t kRomAttributes = 0x09;
constexpr uint8_t kManifestationTolerant = 0x04;
constexpr uint16_t kRomDetachTimeoutMs = 5000;

constexpr std::array<size_t, 4> kVersionBlockOffsets{0x1300, 0x2000, 0x300, 0x3000};
constexpr size_t kVersionBlockLength = 20;

uint16_t ReadU16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

std::optional<FirmwareIdentity> FirmwareIdentityOf(const std::vector<uint8_t> &image) {
  for (size_t offset : kVersionBlockOffsets) {
    if (offset + kVersionBlockLength > image.size()) {
      continue;
    }
    const uint8_t *block = image.data() + offset;
    if (block[0] != 0x31 || block[2] != 0x78 || block[3] != 0x56 || block[4] != 0x34 ||
        block[5] != 0x12) {
      continue;
    }
    const uint16_t chipId = ReadU16(block + 6);
    const bool versionA = chipId == 0x4C10 || chipId == 0x4C15;
    return FirmwareIdentity{ReadU16(block + 8), ReadU16(block + 10),
                            ReadU16(block + (versionA ? 16 : 18))};
  }
  return std::nullopt;
}

DfuRom::DfuRom(const DfuConfig &config, const DfuMisbehaviour &misbehaviour, uint64_t nowUs)
    : config_(config),
      misbehaviour_(misbehaviour),
      state_(misbehaviour.initialState.value_or(dfu::kDfuIdle)),
      status_(misbehaviour.initialStatus),
      nowUs_(nowUs),
      startedBusy_(state_ == dfu::kDnBusy) {}

std::vector<uint8_t> DfuRom::DeviceDescriptor() const {
  return usb::DeviceDescriptorBytes(usb::DeviceInfo{.bDeviceClass = 0,
                                                    .bDeviceSubClass = 0,
                                                    .bDeviceProtocol = 0,
                                                    .idVendor = config_.romVid,
                                                    .idProduct = config_.romPid,
                                                    .bcdDevice = config_.romBcdDevice});
}

std::vector<uint8_t> DfuRom::ConfigurationDescriptor() const {
  const uint8_t attributes =
      kRomAttributes | (config_.manifestationTolerant ? kManifestationTolerant : 0);
  return usb::Configuration(
      usb::ConfigurationInfo{},
      {usb::InterfaceDescriptor(kRomInterface, 0, 0, dfu::kClassApplicationSpecific,
                                dfu::kSubclassDfu, dfu::kProtocolDfuMode),
       dfu::Functional(attributes, kRomDetachTimeoutMs, config_.transferSize)});
}

void DfuRom::Advance(uint64_t nowUs) {
  nowUs_ = nowUs;
  Settle();
}

void DfuRom::Settle() {
  if (nowUs_ < busyUntilUs_) {
    return;
  }
  if (state_ == dfu::kDnBusy && !programmed_ && !misbehaviour_.stayBusy) {
    state_ = dfu::kDnloadSync;
    programmed_ = true;
  } else if (state_ == dfu::kManifest && manifested_) {
    manifestationDone_ = true;
    state_ = config_.manifestationTolerant ? dfu::kManifestSync : dfu::kManifestWaitReset;
  }
}

usb::Reply DfuRom::Refuse() {
  state_ = dfu::kDfuError;
  status_ = dfu::kErrStalledPkt;
  return usb::Stall();
}

usb::Reply DfuRom::Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) {
  const bool out = setup.bmRequestType == dfu::kRequestTypeOut;
  const bool in = setup.bmRequestType == dfu::kRequestTypeIn;
  if ((!out && !in) || setup.wIndex != kRomInterface) {
    return usb::Stall();  // not a DFU request to this interface
  }
  Settle();
  const bool getStatus = in && setup.bRequest == dfu::kGetStatus;
  const bool getState = in && setup.bRequest == dfu::kGetState && setup.wLength >= 1;

  // In the run-time states the device knows no DFU-mode request; it stalls them unchanged.
  if (state_ == dfu::kAppIdle || state_ == dfu::kAppDetach) {
    if (getStatus) {
      return GetStatus(setup);
    }
    return getState ? usb::Ack({state_}) : usb::Stall();
  }
  if (state_ == dfu::kManifestWaitReset) {
    return usb::Stall();  // waits for a reset, answering nothing
  }
  if (Busy()) {
    // Only a device that stays busy is still here once its poll timeout has passed.
    const bool staysBusy = state_ == dfu::kDnBusy && (misbehaviour_.stayBusy || startedBusy_);
    if (getStatus && staysBusy && nowUs_ >= busyUntilUs_) {
      return GetStatus(setup);
    }
    return Refuse();  // asked before the poll timeout it gave
  }
  if (getStatus) {
    return GetStatus(setup);
  }
  if (getState) {
    return usb::Ack({state_});
  }
  if (out && setup.bRequest == dfu::kDnload) {
    return Download(setup, dataOut);
  }
  if (out && setup.bRequest == dfu::kClrStatus && setup.wLength == 0) {
    return ClearStatus();
  }
  if (out && setup.bRequest == dfu::kAbort && setup.wLength == 0) {
    return Abort();
  }
  return Refuse();
}

usb::Reply DfuRom::ClearStatus() {
  if (misbehaviour_.rejectClearStatus) {
    return usb::Stall();
  }
  if (misbehaviour_.stuck) {
    return usb::Ack();
  }
  if (state_ != dfu::kDfuError) {
    return Refuse();
  }
  state_ = dfu::kDfuIdle;
  status_ = dfu::kStatusOk;
  return usb::Ack();
}

usb::Reply DfuRom::Abort() {
  if (misbehaviour_.rejectAbort) {
    return usb::Stall();
  }
  if (misbehaviour_.stuck) {
    return usb::Ack();
  }
  if (state_ != dfu::kDfuIdle && state_ != dfu::kDnloadIdle && state_ != dfu::kUploadIdle) {
    return Refuse();
  }
  state_ = dfu::kDfuIdle;
  image_.clear();
  blockNumbers_.clear();
  manifested_ = false;
  manifestationDone_ = false;
  return usb::Ack();
}

bool DfuRom::Detach() {
  Settle();
  const bool startable = manifested_ || misbehaviour_.bootsIncompleteImage;
  if (config_.detachStartsImage && startable && !Busy()) {
    return true;
  }
  // Refused as Control refuses what a state does not take.
  const bool appState = state_ == dfu::kAppIdle || state_ == dfu::kAppDetach;
  if (!appState && state_ != dfu::kManifestWaitReset) {
    Refuse();
  }
  return false;
}

usb::Reply DfuRom::GetStatus(const usb::Setup &setup) {
  uint32_t pollTimeoutMs = config_.pollTimeoutMs;
  switch (state_) {
    case dfu::kDnBusy:
      // A device that stays busy: another poll timeout of the same length.
      busyUntilUs_ = nowUs_ + uint64_t{config_.blockBusyMs} * 1000;
      pollTimeoutMs = config_.blockBusyMs;
      break;
    case dfu::kDnloadSync:
      if (!programmed_ && (config_.blockBusyMs > 0 || misbehaviour_.stayBusy)) {
        state_ = dfu::kDnBusy;
        busyUntilUs_ = nowUs_ + uint64_t{config_.blockBusyMs} * 1000;
        pollTimeoutMs = config_.blockBusyMs;
        break;
      }
      programmed_ = true;
      if (misbehaviour_.errorAfterBlock && !blockNumbers_.empty() &&
          blockNumbers_.size() - 1 == *misbehaviour_.errorAfterBlock) {
        state_ = dfu::kDfuError;
        status_ = misbehaviour_.errorStatus;
      } else {
        state_ = dfu::kDnloadIdle;
      }
      break;
    case dfu::kManifestSync:
      if (manifestationDone_) {
        state_ = dfu::kDfuIdle;  // a tolerant device, manifested: ready for more
        break;
      }
      state_ = dfu::kManifest;
      busyUntilUs_ = nowUs_ + uint64_t{config_.manifestMs} * 1000;
      pollTimeoutMs = config_.manifestMs;
      break;
    default:
      break;
  }
  std::vector<uint8_t> answer{status_,
                              static_cast<uint8_t>(pollTimeoutMs),
                              static_cast<uint8_t>(pollTimeoutMs >> 8),
                              static_cast<uint8_t>(pollTimeoutMs >> 16),
                              state_,
                              0};
  answer.resize(std::min<size_t>(
      {answer.size(), setup.wLength, misbehaviour_.statusAnswerLength.value_or(answer.size())}));
  return usb::Ack(std::move(answer));
}

usb::Reply DfuRom::Download(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) {
  if (setup.wLength == 0) {
    // The end of the download: only after at least one block.
    if (state_ != dfu::kDnloadIdle) {
      return Refuse();
    }
    state_ = dfu::kManifestSync;
    manifested_ = true;
    return usb::Ack();
  }
  if ((state_ != dfu::kDfuIdle && state_ != dfu::kDnloadIdle) ||
      setup.wLength > config_.transferSize || dataOut.size() != setup.wLength) {
    return Refuse();
  }
  if (state_ == dfu::kDfuIdle) {
    // A new download: whatever an earlier one left is replaced.
    image_.clear();
    blockNumbers_.clear();
    manifested_ = false;
    manifestationDone_ = false;
  }
  image_.insert(image_.end(), dataOut.begin(), dataOut.end());
  blockNumbers_.push_back(setup.wValue);
  state_ = dfu::kDnloadSync;
  programmed_ = false;
  return usb::Ack();
}

std::optional<FirmwareIdentity> DfuRom::BootIdentity() const {
  if (!manifested_ && !misbehaviour_.bootsIncompleteImage) {
    return std::nullopt;
  }
  return FirmwareIdentityOf(image_);
}

}  // namespace camera
