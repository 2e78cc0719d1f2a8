// The harness's logic that needs no firmware service: its configuration file, the text
// lines it prints, and the record of progress reports. Freestanding C++ over our UEFI
// definitions, so the same code builds into KvrHarness.efi and into the host tests.
#pragma once

#include "platform/Uefi.h"

namespace harness {

// ---------------------------------------------------------------- text

// One line of ASCII text with a fixed capacity. Appends past the capacity are dropped
// and remembered in Truncated().
class TextLine {
 public:
  static constexpr UINTN kCapacity = 4096;

  TextLine &Add(const CHAR8 *text);
  TextLine &Add(const CHAR8 *text, UINTN length);
  TextLine &Add(CHAR8 c);
  TextLine &Decimal(UINT64 value);
  // "0x" and upper-case hex digits, at least minDigits of them.
  TextLine &Hex(UINT64 value, UINTN minDigits = 1);
  // UCS-2 text, every character outside printable ASCII written as '?'.
  TextLine &Wide(const CHAR16 *text, UINTN maxChars);

  const CHAR8 *Text() const { return text_; }  // NUL-terminated
  UINTN Length() const { return length_; }
  BOOLEAN Truncated() const { return truncated_; }
  void Clear();

 private:
  CHAR8 text_[kCapacity + 1] = {};
  UINTN length_ = 0;
  BOOLEAN truncated_ = FALSE;
};

// ---------------------------------------------------------------- configuration

// The harness's configuration file, \kvr-harness.cfg on its own volume: ASCII lines
// `key = value`, '#' starts a comment, blank lines are ignored. Keys:
//   mode          smoke | fv | insyde | none                      (default smoke)
//                 smoke: list the USB devices (and exercise the test device) only;
//                 fv: hand the capsule over in "CapsuleOnRam" and run the driver;
//                 insyde: FirmwareVendor begins with "INSYDE", the capsule address goes
//                 in "KorvaneCameraCapsuleAddress", then the driver runs;
//                 none: run the driver without handing over a capsule.
//   capsule       path of the capsule file on the volume      (required for fv, insyde)
//   driver        path of the driver image (default \KvrFmpDriver.efi)
//   driver-source file | capsule (default file): capsule starts the first embedded driver
//                 of the FMP capsule instead, from the capsule in memory, as EDK II's
//                 capsule library does (modes fv and insyde, with an FMP capsule)
//   usb-expect    VVVV:PPPP, hex: wait for a USB device with these IDs before going on
//   usb-wait-ms   how long to wait for it (default 5000, at most 60000)
//   usb-settle-ms a pause after connecting the controllers (default 0, at most 60000)
//   exercise      VVVV:PPPP: in smoke mode, run the test device's requests on it
//   vendor        the FirmwareVendor text for mode insyde (default "INSYDE (emulated)")
//   watchdog-s    the watchdog for the whole run, 0 for none (default 300, at most 3600)
// Paths take '/' or '\'; they are used from the volume's root.
enum class Mode : UINT8 { Smoke, Fv, Insyde, None };

constexpr UINTN kPathChars = 128;    // with the NUL
constexpr UINTN kVendorChars = 64;   // with the NUL
constexpr UINTN kMaxConfigBytes = 4096;

struct UsbIds {
  BOOLEAN present;
  UINT16 vid;
  UINT16 pid;
};

struct Config {
  Mode mode;
  CHAR16 capsule[kPathChars];  // empty when not given
  CHAR16 driver[kPathChars];
  BOOLEAN driverFromCapsule;
  UsbIds usbExpect;
  UINT32 usbWaitMs;
  UINT32 usbSettleMs;
  UsbIds exercise;
  CHAR16 vendor[kVendorChars];
  UINT32 watchdogSeconds;
};

// The configuration with every default.
void DefaultConfig(Config *config);

// Parses Length bytes of configuration text over the defaults already in config. On an
// error returns FALSE with a one-line reason (line number and what is wrong) in Error.
BOOLEAN ParseConfig(const CHAR8 *Text, UINTN Length, Config *config, TextLine *Error);

const CHAR8 *ModeName(Mode mode);

// ---------------------------------------------------------------- FMP capsule

// An embedded driver of an FMP capsule: its place from the capsule's start, its length,
// and how many embedded drivers the capsule has.
struct EmbeddedDriver {
  UINT64 offset;
  UINT64 length;
  UINT16 count;
};

// Finds embedded driver Index (from 0) of the FMP capsule held in Capsule[0, Size), as
// EDK II's capsule library takes it (UEFI 2.10, 23.3): the drivers come first in the item
// offset list, each reaching to the next list entry, the last entry to the capsule's end.
// The capsule reaches to its CapsuleImageSize, which must lie within Size; the driver's own
// walk (capsule/Capsule.h) reads it. On a fault returns FALSE with a one-line reason in
// Error.
BOOLEAN FindEmbeddedDriver(const UINT8 *Capsule, UINT64 Size, UINT64 Index,
                           EmbeddedDriver *Driver, TextLine *Error);

// ---------------------------------------------------------------- progress

// Every percentage the driver reported, in order; the first kCapacity are kept, the rest
// only counted.
class ProgressRecord {
 public:
  static constexpr UINTN kCapacity = 512;

  void Record(UINTN percent);
  UINTN Count() const { return count_; }  // every report, kept or not
  UINTN Kept() const { return count_ < kCapacity ? count_ : kCapacity; }
  UINTN At(UINTN index) const { return values_[index]; }
  // "10,20,...", or "-" when there was no report; ",+N" when N reports were not kept.
  void Format(TextLine *line) const;

 private:
  UINTN values_[kCapacity] = {};
  UINTN count_ = 0;
};

// "progress [#######.............................]  17%"; values above 100 fill the bar
// and print as they are.
void FormatProgressBar(UINTN percent, TextLine *line);

// ---------------------------------------------------------------- USB ports

// The USB port chain of a device path, as the KVR-USB lines give it: the ParentPortNumber
// of each USB() node in order, joined by '.' ("1", or "1.3" behind a hub), "-" when the
// path is NULL or holds no USB() node. The walk stops at the end node, after
// kMaxDevicePathNodes nodes, or at a node shorter than its header (then "?" follows).
constexpr UINTN kMaxDevicePathNodes = 32;
void FormatUsbPorts(const EFI_DEVICE_PATH_PROTOCOL *Path, TextLine *line);

// ---------------------------------------------------------------- result

// How far the harness got with the driver image.
enum class DriverState : UINT8 { Skipped, Absent, LoadFailed, Started };
const CHAR8 *DriverStateName(DriverState state);

// The one line a run ends with:
//   KVR-RESULT mode=<mode> driver=<state> status=0x<hex> progress=<list> progress-count=N
//              error=<word>
// status: the driver's entry point status when driver=started; LoadImage's when
// load-failed; EFI_NOT_FOUND when absent; 0 when skipped (smoke mode). error: "none", or
// the first harness failure (config, capsule, handover, progress, usb-expect, exercise).
void FormatResult(Mode mode, DriverState driver, EFI_STATUS status,
                  const ProgressRecord &progress, const CHAR8 *error, TextLine *line);

}  // namespace harness
