// The harness application's parts: the console, its own volume's files, the USB survey,
// the capsule hand-over and the progress protocol. One boot-services thread; nothing
// here is re-entered.
#pragma once

#include "emu/harness/HarnessCore.h"
#include "emu/harness/HarnessUefi.h"
#include "platform/Platform.h"

namespace harness {

// The tables the entry point was given.
extern EFI_HANDLE gImage;
extern EFI_SYSTEM_TABLE *gST;
extern EFI_BOOT_SERVICES *gBS;
extern EFI_RUNTIME_SERVICES *gRT;

// ---------------------------------------------------------------- console
// Prints the line and "\r\n" on the system console (which OVMF mirrors on the serial
// port).
void Print(const TextLine &line);
void Print(const CHAR8 *text);

// ---------------------------------------------------------------- files
constexpr UINT64 kMaxCapsuleBytes = 64ULL << 20;
constexpr UINT64 kMaxDriverBytes = 16ULL << 20;

struct FileBuffer {
  EFI_PHYSICAL_ADDRESS address;  // boot-services data pages; 0 when nothing is held
  UINT64 size;
  UINTN pages;
};

// Opens the root of the volume the harness was loaded from.
EFI_STATUS OpenOwnVolume(EFI_FILE_PROTOCOL **Root);
// Reads a whole file into boot-services data pages. EFI_NOT_FOUND when the file (or the
// volume: Root NULL) is not there, EFI_BAD_BUFFER_SIZE when it is larger than MaxBytes.
EFI_STATUS ReadWholeFile(EFI_FILE_PROTOCOL *Root, const CHAR16 *Path, UINT64 MaxBytes,
                         FileBuffer *File);
void FreeFile(FileBuffer *File);

// ---------------------------------------------------------------- USB
// ConnectController(handle, NULL, NULL, TRUE) on every handle; returns how many there
// were.
UINTN ConnectAllControllers();

struct UsbMatch {
  BOOLEAN found;
  EFI_USB_IO_PROTOCOL *io;  // interface 0 of the matching device
  UINT16 bcdDevice;
};
// Looks for interface 0 of a device with these IDs (and this bcdDevice when WantBcd).
void FindUsb(UINT16 Vid, UINT16 Pid, BOOLEAN WantBcd, UINT16 Bcd, UsbMatch *Match);
// Polls for such a device, connecting the controllers again now and then, until it is
// there or WaitMs has passed; WaitedMs receives the time spent stalling.
BOOLEAN WaitForUsb(UINT16 Vid, UINT16 Pid, BOOLEAN WantBcd, UINT16 Bcd, UINT32 WaitMs,
                   UsbMatch *Match, UINT32 *WaitedMs);
// Prints one KVR-USB line per USB I/O handle:
//   KVR-USB phase=<phase> n=<i> vid=0x.... pid=0x.... bcd=0x.... interface=N
//           class=0x.. subclass=0x.. protocol=0x..
// and returns the number of handles.
UINTN ListUsb(const CHAR8 *Phase);
// The test device's requests, one KVR-CHECK line each; returns FALSE when one did not
// behave as the test device does.
BOOLEAN ExerciseTestDevice(UINT16 Vid, UINT16 Pid, UINT32 WaitMs);

// ---------------------------------------------------------------- hand-over
// "CapsuleOnRam" under EFI_CAPSULE_VENDOR_GUID: boot-service access only, volatile,
// holding the 8-byte address.
EFI_STATUS HandOverCapsuleOnRam(EFI_PHYSICAL_ADDRESS Address);
// FirmwareVendor replaced by Vendor for the run, and "KorvaneCameraCapsuleAddress" set
// (boot-service access, volatile) to the 8-byte address.
EFI_STATUS HandOverInsyde(EFI_PHYSICAL_ADDRESS Address, const CHAR16 *Vendor);
// Puts the firmware's own vendor string back.
void RestoreFirmwareVendor();
// Prints what the capsule header says, for the log.
void DescribeCapsule(const FileBuffer &Capsule);

// ---------------------------------------------------------------- progress
// TARVEL_PROGRESS_PROTOCOL on a new handle: each report is recorded and drawn as a bar.
EFI_STATUS InstallProgress();
void UninstallProgress();
const ProgressRecord &Progress();

}  // namespace harness
