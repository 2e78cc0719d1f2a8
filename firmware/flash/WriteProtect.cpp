// Write protection of the camera's flash. Two layers guard it: controller registers in the
// camera's memory, which ones depending on the chip variant, and the flash's own status
// register. Both are released before the flash is erased and set again once the new image
// has been verified and tagged.
#include "Flash.h"
#include "command/Command.h"

namespace {

// Which controller registers guard the flash besides 0xFEA0 and 0xFEA6.
enum WP_GROUP {
  WpGroupNone,
  WpGroup1,  // 0xFEA1 and 0xFEA7, bits 0x04
  WpGroup2,  // 0xFEA1 and 0xFEA7, bits 0x0C
  WpGroup3,  // 0xFF9C, bits 0x05
};

// One controller register a routine adjusts: Bits set either way, or (Follows) set to
// release the protection and cleared to set it again.
struct WP_REGISTER {
  UINT16 Address;
  UINT8 Bits;
  BOOLEAN Follows;
};

// Every register, the two of every variant first, then each group's own, in the order they
// are read and written.
const WP_REGISTER kWpRegisters[] = {
    {KV_MEM_WP_CONTROL, KV_WP_BIT, FALSE},             // every variant
    {KV_MEM_WP_LEVEL, KV_WP_BIT, TRUE},                // every variant
    {KV_MEM_LINE_CONTROL, KV_LINE_BITS_GROUP1, FALSE},  // group 1
    {KV_MEM_LINE_LEVEL, KV_LINE_BITS_GROUP1, TRUE},     // group 1
    {KV_MEM_LINE_CONTROL, KV_LINE_BITS_GROUP2, FALSE},  // group 2
    {KV_MEM_LINE_LEVEL, KV_LINE_BITS_GROUP2, TRUE},     // group 2
    {KV_MEM_WRITE_GATE, KV_WRITE_GATE_BITS, TRUE},      // group 3
};
constexpr UINTN kWpCommonRegisters = 2;

// Each group's own registers in kWpRegisters: the first and how many.
const struct {
  UINT8 First;
  UINT8 Count;
} kGroupRegisters[] = {/* WpGroupNone */ {0, 0}, /* WpGroup1 */ {2, 2}, /* WpGroup2 */ {4, 2},
                       /* WpGroup3 */ {6, 1}};

// Most registers one routine adjusts.
#define KV_WP_MAX_REGISTERS 4

// Reads the variant code. A failed read is not a failure of the routine. On release it
// leaves the code 0, which belongs to no group, and only 0xFEA0 and 0xFEA6 are adjusted. On
// protection the code the release worked with stands: the variant bytes are read-only, the
// release's code is the one that opened the flash, and a second read that fails, or that an
// answer cut short without an error garbles, must not leave a released group open.
UINT16 ReadVariantCode(EFI_USB_IO_PROTOCOL *UsbIo, BOOLEAN Protect, KV_WP_RELEASE *Release) {
  UINT8 Variant[KV_MEM_VARIANT_LENGTH] = {0, 0};
  const BOOLEAN ReadOk = ReadMem(UsbIo, KV_MEM_VARIANT, KV_MEM_VARIANT_LENGTH, Variant);
  const UINT16 Code =
      ReadOk ? (UINT16)((Variant[0] & KV_VARIANT_MASK) | ((Variant[1] & KV_VARIANT_MASK) << 8))
             : 0;
  if (!Protect) {
    Release->Released = TRUE;
    Release->VariantCode = Code;
    return Code;
  }
  return Release->Released ? Release->VariantCode : Code;
}

// Groups are tested in the order 1, 2, 3. Code 0x0020 counts as group 3 when releasing the
// protection and as no group when setting it again.
WP_GROUP GroupOf(UINT16 Code, BOOLEAN Protect) {
  switch (Code) {
    case 0xF000:
    case 0xE000:
    case 0xD000:
      return WpGroup1;
    case 0x6010:
    case 0x9010:
      return WpGroup2;
    case 0xE010:
      return WpGroup3;
    case 0x0020:
      return Protect ? WpGroupNone : WpGroup3;
    default:
      return WpGroupNone;
  }
}

// The registers to adjust, in the order they are read and written. Returns their count.
UINTN RegistersOf(WP_GROUP Group, const WP_REGISTER **Registers) {
  UINTN Count = 0;
  for (UINTN I = 0; I < kWpCommonRegisters; I++) {
    Registers[Count++] = &kWpRegisters[I];
  }
  for (UINTN I = 0; I < kGroupRegisters[Group].Count; I++) {
    Registers[Count++] = &kWpRegisters[kGroupRegisters[Group].First + I];
  }
  return Count;
}

// Reads the status register until the busy bit clears: the first read, then up to
// KV_SR_POLL_RETRIES re-reads, each after a stall. Using up every re-read fails, whatever
// the last one showed.
BOOLEAN WaitWhileBusy(EFI_USB_IO_PROTOCOL *UsbIo) {
  UINT8 Sr = 0;
  BOOLEAN ReadOk = ReadSr(UsbIo, &Sr);
  UINTN Remaining = KV_SR_POLL_RETRIES;
  while (ReadOk && Remaining > 0 && (Sr & KV_SR_BUSY) != 0) {
    BootServices->Stall(KV_SR_POLL_STALL_US);
    ReadOk = ReadSr(UsbIo, &Sr);
    Remaining--;
  }
  if (Remaining == 0) {
    return FALSE;
  }
  return ReadOk;
}

// Both routines: adjust the variant's registers, write the status register, wait.
// Every failure returns FALSE at once and leaves what was written as it is.
BOOLEAN SetWriteProtect(EFI_USB_IO_PROTOCOL *UsbIo, BOOLEAN Protect, KV_WP_RELEASE *Release) {
  const WP_GROUP Group = GroupOf(ReadVariantCode(UsbIo, Protect, Release), Protect);
  const WP_REGISTER *Registers[KV_WP_MAX_REGISTERS];
  const UINTN Count = RegistersOf(Group, Registers);

  // Zeroed, so that an answer short of its byte never passes on stack contents.
  UINT8 Values[KV_WP_MAX_REGISTERS] = {0, 0, 0, 0};
  for (UINTN I = 0; I < Count; I++) {
    if (!ReadMem(UsbIo, Registers[I]->Address, 1, &Values[I])) {
      return FALSE;
    }
  }
  for (UINTN I = 0; I < Count; I++) {
    const BOOLEAN Set = !Registers[I]->Follows || !Protect;
    Values[I] = Set ? (UINT8)(Values[I] | Registers[I]->Bits)
                    : (UINT8)(Values[I] & (UINT8)~Registers[I]->Bits);
  }
  for (UINTN I = 0; I < Count; I++) {
    if (!WriteMem(UsbIo, Registers[I]->Address, 1, &Values[I])) {
      return FALSE;
    }
  }
  if (!WriteSr(UsbIo, Protect ? KV_SR_PROTECTED : KV_SR_UNPROTECTED)) {
    return FALSE;
  }
  return WaitWhileBusy(UsbIo);
}

}  // namespace

BOOLEAN DisableWriteProtect(EFI_USB_IO_PROTOCOL *UsbIo, KV_WP_RELEASE *Release) {
  return SetWriteProtect(UsbIo, FALSE, Release);
}

BOOLEAN EnableWriteProtect(EFI_USB_IO_PROTOCOL *UsbIo, KV_WP_RELEASE *Release) {
  return SetWriteProtect(UsbIo, TRUE, Release);
}
