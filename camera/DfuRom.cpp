// The DFU ROM device: descriptors, the DFU 1.1 download state machine and the blocks it
// keeps.
#include "camera/DfuRom.h"

#include <algorithm>
#include <array>

#include "camera/Uvc.h"

namespace camera {
namespace {

constexpr uint8_t kRomInterface = 0;
// bitCanDnload | bitWillDetach: no upload, not manifestation tolerant.
constexpr uint8_t kRomAttributes = 0x09;
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
      nowUs_(nowUs) {}

std::vector<uint8_t> DfuRom::DeviceDescriptor() const {
  return usb::DeviceDescriptorBytes(usb::DeviceInfo{.bDeviceClass = 0,
                                                    .bDeviceSubClass = 0,
                                                    .bDeviceProtocol = 0,
                                                    .idVendor = config_.romVid,
                                                    .idProduct = config_.romPid,
                                                    .bcdDevice = config_.romBcdDevice});
}

std::vector<uint8_t> DfuRom::ConfigurationDescriptor() const {
  return usb::Configuration(
      usb::ConfigurationInfo{},
      {usb::InterfaceDescriptor(kRomInterface, 0, 0, dfu::kClassApplicationSpecific,
                                dfu::kSubclassDfu, dfu::kProtocolDfuMode),
       dfu::Functional(kRomAttributes, kRomDetachTimeoutMs, config_.transferSize)});
}

void DfuRom::Advance(uint64_t nowUs) {
  nowUs_ = nowUs;
  if (state_ == dfu::kDnBusy && !programmed_ && nowUs_ >= busyUntilUs_ && !misbehaviour_.stayBusy) {
    state_ = dfu::kDnloadSync;
    programmed_ = true;
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
    return usb::Stall();
  }
  // In the run-time states the device knows no DFU-mode request; it stalls them unchanged.
  const bool appState = state_ == dfu::kAppIdle || state_ == dfu::kAppDetach;

  if (in && setup.bRequest == dfu::kGetStatus) {
    return GetStatus(setup);
  }
  if (in && setup.bRequest == dfu::kGetState && setup.wLength >= 1) {
    if (state_ == dfu::kDnBusy) {
      return Refuse();
    }
    return usb::Ack({state_});
  }
  if (appState) {
    return usb::Stall();
  }
  if (out && setup.bRequest == dfu::kDnload) {
    return Download(setup, dataOut);
  }
  if (out && setup.bRequest == dfu::kClrStatus && setup.wLength == 0) {
    if (misbehaviour_.rejectClearStatus) {
      return usb::Stall();
    }
    if (misbehaviour_.stuck) {
      return usb::Ack();
    }
    // DFU 1.1 clears the status in dfuERROR; a dfuIDLE that still carries an error status
    // is cleared as well.
    if (state_ != dfu::kDfuError && state_ != dfu::kDfuIdle) {
      return Refuse();
    }
    state_ = dfu::kDfuIdle;
    status_ = dfu::kStatusOk;
    return usb::Ack();
  }
  if (out && setup.bRequest == dfu::kAbort && setup.wLength == 0) {
    if (misbehaviour_.rejectAbort) {
      return usb::Stall();
    }
    if (misbehaviour_.stuck) {
      return usb::Ack();
    }
    switch (state_) {
      case dfu::kDfuIdle:
      case dfu::kDnloadSync:
      case dfu::kDnloadIdle:
      case dfu::kManifestSync:
      case dfu::kUploadIdle:
        state_ = dfu::kDfuIdle;
        image_.clear();
        blockNumbers_.clear();
        manifested_ = false;
        return usb::Ack();
      default:
        return Refuse();
    }
  }
  return Refuse();
}

usb::Reply DfuRom::GetStatus(const usb::Setup &setup) {
  uint32_t pollTimeoutMs = config_.pollTimeoutMs;
  switch (state_) {
    case dfu::kDnBusy:
      if (!programmed_ && nowUs_ < busyUntilUs_) {
        return Refuse();  // asked before the poll timeout it was given
      }
      // Only a device that stays busy (or started busy) is still here once the time has
      // passed.
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
      state_ = dfu::kManifestWaitReset;  // not manifestation tolerant
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
