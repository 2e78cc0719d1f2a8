// The controller memory and flash chip behind the camera's flash path.
#include "camera/FlashHardware.h"

#include <algorithm>
#include <stdexcept>

namespace camera {
namespace {

constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;
constexpr uint8_t kErased = 0xFF;

// [address, address + length) contains point.
bool Covers(uint32_t address, size_t length, std::optional<uint32_t> point) {
  return point && *point >= address && *point - address < length;
}

// The 24-bit flash address of a request: wValue's high byte is bits 16-23, its low byte
// must be 0; wIndex is bits 0-15.
std::optional<uint32_t> FlashAddress(const usb::Setup &setup) {
  if ((setup.wValue & 0xFF) != 0) {
    return std::nullopt;
  }
  return (static_cast<uint32_t>(setup.wValue >> 8) << 16) | setup.wIndex;
}

bool NoData(const usb::Setup &setup, uint8_t type) {
  return setup.bmRequestType == type && setup.wValue == 0 && setup.wIndex == 0 &&
         setup.wLength == 0;
}

bool OneByte(const usb::Setup &setup, uint8_t type) {
  return setup.bmRequestType == type && setup.wValue == 0 && setup.wIndex == 0 &&
         setup.wLength == 1;
}

}  // namespace

Guard GuardOf(uint16_t variantCode) {
  switch (variantCode) {
    case 0xF000:
    case 0xE000:
    case 0xD000:
      return Guard::Lines04;
    case 0x6010:
    case 0x9010:
      return Guard::Lines0C;
    case 0xE010:
    case 0x0020:
      return Guard::WriteGate;
    default:
      return Guard::None;
  }
}

FlashHardware::FlashHardware(const FlashConfig &config)
    : busyReads_(config.busyReads),
      flash_(config.size, kErased),
      sr_(static_cast<uint8_t>(config.statusRegister & ~(kSrBusy | kSrWriteEnableLatch))),
      tagged_(config.tagged) {
  if (config.size > kFlashAddressSpace || config.contents.size() > config.size) {
    throw std::invalid_argument("FlashConfig: contents or size beyond the flash");
  }
  std::copy(config.contents.begin(), config.contents.end(), flash_.begin());
  for (const auto &[address, value] : config.memory) {
    SetMemory(address, value);
  }
  SetMemory(kVariantAddress, config.variant[0]);
  SetMemory(kVariantAddress + 1, config.variant[1]);
  powerOnMemory_ = memory_;
}

uint8_t FlashHardware::Memory(uint16_t address) const {
  const auto it = memory_.find(address);
  return it == memory_.end() ? 0 : it->second;
}

void FlashHardware::PowerOn() {
  memory_ = powerOnMemory_;
  busyReadsLeft_ = 0;
}

bool FlashHardware::Serves(const usb::Setup &setup) {
  if (setup.bmRequestType != kVendorOut && setup.bmRequestType != kVendorIn) {
    return false;
  }
  switch (setup.bRequest) {
    case kRequestWriteMem:
    case kRequestReadMem:
    case kRequestReadFlash:
    case kRequestWriteFlash:
    case kRequestReadSr:
    case kRequestWriteSr:
    case kRequestEraseFlash:
    case kRequestWriteTag:
      return true;
    default:
      return false;
  }
}

usb::Reply FlashHardware::Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) {
  switch (setup.bRequest) {
    case kRequestReadMem:
      return ReadMemory(setup);
    case kRequestWriteMem:
      return WriteMemory(setup, dataOut);
    case kRequestReadSr:
      return ReadStatus(setup);
    case kRequestWriteSr:
      return WriteStatus(setup, dataOut);
    case kRequestEraseFlash:
      return Erase(setup);
    case kRequestReadFlash:
      return ReadArray(setup);
    case kRequestWriteFlash:
      return Program(setup, dataOut);
    case kRequestWriteTag:
      return Tag(setup);
    default:
      return usb::Stall();
  }
}

std::vector<uint8_t> FlashHardware::Contents(uint32_t address, size_t length) const {
  if (address > flash_.size() || length > flash_.size() - address) {
    throw std::out_of_range("FlashHardware::Contents beyond the flash");
  }
  return {flash_.begin() + address, flash_.begin() + address + length};
}

uint16_t FlashHardware::VariantCode() const {
  return static_cast<uint16_t>((Memory(kVariantAddress) & 0xF0) |
                               ((Memory(kVariantAddress + 1) & 0xF0) << 8));
}

bool FlashHardware::GuardOpen() const {
  const auto released = [this](uint8_t bits) {
    return (Memory(kLineControl) & bits) == bits && (Memory(kLineLevel) & bits) == bits;
  };
  switch (GuardOf(VariantCode())) {
    case Guard::Lines04:
      return released(0x04);
    case Guard::Lines0C:
      return released(0x0C);
    case Guard::WriteGate:
      return (Memory(kWriteGate) & 0x05) == 0x05;
    case Guard::None:
      return true;
  }
  return false;
}

bool FlashHardware::WpReleased() const {
  return (Memory(kWpControl) & 0x01) != 0 && (Memory(kWpLevel) & 0x01) != 0;
}

bool FlashHardware::WriteProtected() const {
  return (sr_ & kSrBlockProtect) != 0 || !GuardOpen();
}

bool FlashHardware::StatusRegisterLocked() const {
  return (sr_ & kSrWriteDisable) != 0 && !WpReleased();
}

usb::Reply FlashHardware::ReadMemory(const usb::Setup &setup) {
  if (setup.bmRequestType != kVendorIn || setup.wValue != 0 ||
      setup.wIndex + size_t{setup.wLength} > kMemorySize ||
      Covers(setup.wIndex, setup.wLength, misbehaviour_.failMemoryReadAt)) {
    return usb::Stall();
  }
  std::vector<uint8_t> answer(setup.wLength);
  for (size_t i = 0; i < answer.size(); i++) {
    answer[i] = Memory(static_cast<uint16_t>(setup.wIndex + i));
  }
  return usb::Ack(std::move(answer));
}

usb::Reply FlashHardware::WriteMemory(const usb::Setup &setup,
                                      const std::vector<uint8_t> &dataOut) {
  if (setup.bmRequestType != kVendorOut || setup.wValue != 0 ||
      dataOut.size() != setup.wLength || setup.wIndex + dataOut.size() > kMemorySize ||
      Covers(setup.wIndex, setup.wLength, misbehaviour_.failMemoryWriteAt)) {
    return usb::Stall();
  }
  for (size_t i = 0; i < dataOut.size(); i++) {
    const size_t address = setup.wIndex + i;
    if (address != kVariantAddress && address != kVariantAddress + 1u) {  // read-only
      SetMemory(static_cast<uint16_t>(address), dataOut[i]);
    }
  }
  return usb::Ack();
}

usb::Reply FlashHardware::ReadStatus(const usb::Setup &setup) {
  if (!OneByte(setup, kVendorIn)) {
    return usb::Stall();
  }
  statusReads_++;
  const uint8_t value = static_cast<uint8_t>(sr_ | (Busy() ? kSrBusy : 0));
  if (busyReadsLeft_ > 0) {
    busyReadsLeft_--;
  }
  return usb::Ack({value});
}

usb::Reply FlashHardware::WriteStatus(const usb::Setup &setup,
                                      const std::vector<uint8_t> &dataOut) {
  if (!OneByte(setup, kVendorOut) || dataOut.size() != 1) {
    return usb::Stall();
  }
  if (Busy() || StatusRegisterLocked()) {
    ignored_++;
    return usb::Ack();
  }
  statusWrites_++;
  sr_ = static_cast<uint8_t>(dataOut[0] & ~(kSrBusy | kSrWriteEnableLatch));
  busyReadsLeft_ = busyReads_;
  return usb::Ack();
}

usb::Reply FlashHardware::Erase(const usb::Setup &setup) {
  if (!NoData(setup, kVendorOut)) {
    return usb::Stall();
  }
  if (Busy() || WriteProtected()) {
    ignored_++;
    return usb::Ack();
  }
  erases_++;
  std::fill(flash_.begin(), flash_.end(), kErased);
  tagged_ = false;
  return usb::Ack();
}

usb::Reply FlashHardware::ReadArray(const usb::Setup &setup) {
  const std::optional<uint32_t> address = FlashAddress(setup);
  if (setup.bmRequestType != kVendorIn || !address || *address > flash_.size() ||
      setup.wLength > flash_.size() - *address ||
      Covers(*address, setup.wLength, misbehaviour_.failReadAt)) {
    return usb::Stall();
  }
  const size_t length = std::min<size_t>(setup.wLength, misbehaviour_.readLength.value_or(SIZE_MAX));
  return usb::Ack({flash_.begin() + *address, flash_.begin() + *address + length});
}

usb::Reply FlashHardware::Program(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) {
  const std::optional<uint32_t> address = FlashAddress(setup);
  if (setup.bmRequestType != kVendorOut || !address || dataOut.size() != setup.wLength ||
      *address > flash_.size() || dataOut.size() > flash_.size() - *address ||
      Covers(*address, dataOut.size(), misbehaviour_.failWriteAt)) {
    return usb::Stall();
  }
  if (Busy() || WriteProtected()) {
    ignored_++;
    return usb::Ack();
  }
  // The controller splits the data at page boundaries; programming only clears bits.
  for (size_t i = 0; i < dataOut.size(); i++) {
    const uint32_t at = *address + static_cast<uint32_t>(i);
    uint8_t value = dataOut[i];
    if (misbehaviour_.corruptAt == at) {
      value ^= misbehaviour_.corruptMask;
    }
    flash_[at] &= value;
    if (i == 0 || at % kFlashPageSize == 0) {
      pagePrograms_++;
    }
  }
  return usb::Ack();
}

usb::Reply FlashHardware::Tag(const usb::Setup &setup) {
  if (!NoData(setup, kVendorOut)) {
    return usb::Stall();
  }
  if (Busy() || WriteProtected()) {
    ignored_++;
    return usb::Ack();
  }
  tagged_ = true;
  return usb::Ack();
}

}  // namespace camera
