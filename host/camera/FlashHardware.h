// The hardware behind the camera's flash path: the controller memory with its variant bytes
// and protection registers, and a SPI NOR flash chip with 24-bit addressing, chip erase,
// page programming, reads, an image tag and a status register with a busy time.
//
// The controller serves the flash path's vendor requests (bmRequestType 0x40 out, 0xC0 in):
//   0x24 WriteMem / 0x25 ReadMem     wIndex = memory address, wValue 0
//   0x2E ReadFlash / 0x2F WriteFlash wValue = address bits 16-23 << 8, wIndex = bits 0-15
//   0x30 ReadSr / 0x31 WriteSr       one byte, wValue and wIndex 0
//   0x32 EraseFlash, 0x34 WriteTag   no data stage
//
// Protection, as the parts behave:
//   - The flash's WP# pin is driven by the controller: 0xFEA0 bit 0 drives it, 0xFEA6 bit 0
//     is its level (1: high, released). Undriven, it is pulled low.
//   - The status register keeps its write-disable bit (7) and block-protect bits (2-4)
//     across restarts. With bit 7 set and WP# low, a status register write is ignored.
//   - Any block-protect bit set protects the whole array (this chip's layout).
//   - Depending on the variant code read from 0xFE21/0xFE22, a controller guard must be
//     open as well: lines 0x04 or 0x0C in 0xFEA1 (driven) and 0xFEA7 (level), or the write
//     gate bits 0x05 in 0xFF9C.
//   - While protected or busy, erase, page writes and the tag are ignored, as a real part
//     ignores them: the request is acknowledged and nothing changes.
// A status register write keeps the busy bit set for a configurable number of status reads.
//
// The model knows USB, not UEFI.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "camera/UsbDevice.h"

namespace camera {

// Vendor requests of the flash path.
constexpr uint8_t kRequestWriteMem = 0x24;
constexpr uint8_t kRequestReadMem = 0x25;
constexpr uint8_t kRequestReadFlash = 0x2E;
constexpr uint8_t kRequestWriteFlash = 0x2F;
constexpr uint8_t kRequestReadSr = 0x30;
constexpr uint8_t kRequestWriteSr = 0x31;
constexpr uint8_t kRequestEraseFlash = 0x32;
constexpr uint8_t kRequestWriteTag = 0x34;

// Controller memory: 16-bit addresses.
constexpr size_t kMemorySize = 0x10000;
constexpr uint16_t kVariantAddress = 0xFE21;  // 0xFE21 and 0xFE22, read-only
constexpr uint16_t kWpControl = 0xFEA0;       // bit 0: WP# driven
constexpr uint16_t kWpLevel = 0xFEA6;         // bit 0: WP# high
constexpr uint16_t kLineControl = 0xFEA1;     // guard lines driven
constexpr uint16_t kLineLevel = 0xFEA7;       // guard lines released
constexpr uint16_t kWriteGate = 0xFF9C;       // write gate bits 0x05

// Flash status register bits.
constexpr uint8_t kSrBusy = 0x01;
constexpr uint8_t kSrWriteEnableLatch = 0x02;
constexpr uint8_t kSrBlockProtect = 0x1C;
constexpr uint8_t kSrWriteDisable = 0x80;

constexpr uint32_t kFlashAddressSpace = uint32_t{1} << 24;
constexpr size_t kFlashPageSize = 256;

// The controller guard a variant code asks for besides WP#.
enum class Guard { None, Lines04, Lines0C, WriteGate };
Guard GuardOf(uint16_t variantCode);

struct FlashConfig {
  size_t size = size_t{1} << 20;  // bytes; at most kFlashAddressSpace
  std::vector<uint8_t> contents;  // from address 0; the rest is erased (0xFF)
  bool tagged = true;             // the contents carry a valid tag
  std::array<uint8_t, 2> variant{0x05, 0xE7};  // bytes 0xFE21, 0xFE22: code 0xE000
  uint8_t statusRegister = 0x8C;               // write-disable and block protection
  // Power-on values of controller memory; every other byte is 0.
  std::map<uint16_t, uint8_t> memory{{kWpControl, 0x40}, {kWpLevel, 0x20},
                                     {kLineControl, 0x10}, {kLineLevel, 0x80},
                                     {kWriteGate, 0x30}};
  // Status reads that show the busy bit after each status register write.
  unsigned busyReads = 2;
};

struct FlashMisbehaviour {
  bool stuckBusy = false;                       // the busy bit never clears
  std::optional<uint32_t> failReadAt;           // a flash read covering it stalls
  std::optional<uint32_t> failWriteAt;          // a flash write covering it stalls
  std::optional<uint16_t> failMemoryReadAt;     // a memory read covering it stalls
  std::optional<uint16_t> failMemoryWriteAt;    // a memory write covering it stalls
  std::optional<uint32_t> corruptAt;            // this flash byte is programmed wrong
  uint8_t corruptMask = 0x10;                   // ... with these bits flipped
  std::optional<size_t> readLength;             // flash reads answer only this many bytes
};

class FlashHardware {
 public:
  explicit FlashHardware(const FlashConfig &config = {});

  // A vendor request to the device that belongs to the flash path.
  static bool Serves(const usb::Setup &setup);
  // Answers one such request.
  usb::Reply Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut);

  FlashMisbehaviour &Misbehave() { return misbehaviour_; }
  // Power returns: the controller memory holds its power-on values again and the status
  // register is no longer busy; the flash array, its tag and the stored status bits stay.
  void PowerOn();
  // Status reads that show the busy bit after the next status register write.
  void SetBusyReads(unsigned reads) { busyReads_ = reads; }

  const std::vector<uint8_t> &Contents() const { return flash_; }
  std::vector<uint8_t> Contents(uint32_t address, size_t length) const;
  uint8_t Memory(uint16_t address) const;
  void SetMemory(uint16_t address, uint8_t value) { memory_[address] = value; }
  // The stored status register, without the busy bit.
  uint8_t StatusRegister() const { return sr_; }
  bool Busy() const { return misbehaviour_.stuckBusy || busyReadsLeft_ > 0; }
  bool Tagged() const { return tagged_; }
  uint16_t VariantCode() const;
  // Erase, page writes and the tag are ignored.
  bool WriteProtected() const;
  // Status register writes are ignored.
  bool StatusRegisterLocked() const;

  // What the hardware went through.
  size_t Erases() const { return erases_; }
  size_t PagePrograms() const { return pagePrograms_; }
  size_t StatusWrites() const { return statusWrites_; }
  size_t StatusReads() const { return statusReads_; }
  size_t IgnoredCommands() const { return ignored_; }

 private:
  bool GuardOpen() const;
  bool WpReleased() const;
  usb::Reply ReadMemory(const usb::Setup &setup);
  usb::Reply WriteMemory(const usb::Setup &setup, const std::vector<uint8_t> &dataOut);
  usb::Reply ReadStatus(const usb::Setup &setup);
  usb::Reply WriteStatus(const usb::Setup &setup, const std::vector<uint8_t> &dataOut);
  usb::Reply Erase(const usb::Setup &setup);
  usb::Reply ReadArray(const usb::Setup &setup);
  usb::Reply Program(const usb::Setup &setup, const std::vector<uint8_t> &dataOut);
  usb::Reply Tag(const usb::Setup &setup);

  unsigned busyReads_;
  FlashMisbehaviour misbehaviour_;
  // The controller memory (kMemorySize bytes) as the bytes that are not 0: a camera is made
  // for every run of a test or fuzz input, and most of its memory is never touched.
  std::map<uint16_t, uint8_t> memory_;
  std::map<uint16_t, uint8_t> powerOnMemory_;
  std::vector<uint8_t> flash_;
  uint8_t sr_;
  bool tagged_;
  unsigned busyReadsLeft_ = 0;
  size_t erases_ = 0;
  size_t pagePrograms_ = 0;
  size_t statusWrites_ = 0;
  size_t statusReads_ = 0;
  size_t ignored_ = 0;
};

}  // namespace camera
