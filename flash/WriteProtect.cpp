// Write protection of the camera's flash. Two layers guard it: controller registers in the
// camera's memory, which ones depending on the chip variant, and the flash's own status
// register. Both are released before the flash is erased and set again once the new image
// has been verified and tagged.
#include "Flash.h"
#include "vendor/Vendor.h"

namespace {

// Which controller registers guard the flash besides 0xFEA0 and 0xFEA6.
enum WP_GROUP {
  WpGroupNone,
  WpGroup1,  // 0xFEA1 and 0xFEA7, bits 0x04
  WpGroup2,  // 0xFEA1 and 0xFEA7, bits 0x0C
  WpGroup3,  // 0xFF9C, bits 0x05
};

// One read-modify-write of a controller register: set or clear Bits.
struct REGISTER_CHANGE {
  UINT16 Address;
  UINT8 Bits;
  BOOLEAN Set;
};

// Most registers one routine adjusts.
#define KV_WP_MAX_REGISTERS 4

// The variant code the last release of the protection worked with (0 when its read failed),
// once there has been a release.
BOOLEAN Released = FALSE;
UINT16 ReleasedVariantCode = 0;

// Reads the variant code. A failed read is not a failure of the routine. On release it
// leaves the code 0, which belongs to no group, and only 0xFEA0 and 0xFEA6 are adjusted. On
// protection the code the release worked with stands: the variant bytes are read-only, the
// release's code is the one that opened the flash, and a second read that fails, or that an
// answer cut short without an error garbles, must not leave a released group open.
UINT16 ReadVariantCode(EFI_USB_IO_PROTOCOL *UsbIo, BOOLEAN Protect) {
  UINT8 Variant[KV_MEM_VARIANT_LENGTH] = {0, 0};
  const BOOLEAN ReadOk = ReadMem(UsbIo, KV_MEM_VARIANT, KV_MEM_VARIANT_LENGTH, Variant);
  const UINT16 Code =
      ReadOk ? (UINT16)((Variant[0] & KV_VARIANT_MASK) | ((Variant[1] & KV_VARIANT_MASK) << 8))
             : 0;
  if (!Protect) {
    Released = TRUE;
    ReleasedVariantCode = Code;
    return Code;
  }
  return Released ? ReleasedVariantCode : Code;
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
UINTN RegisterChanges(WP_GROUP Group, BOOLEAN Protect, REGISTER_CHANGE *Changes) {
  UINTN Count = 0;
  // 0xFEA0 is set either way; 0xFEA6 is set to release and cleared to protect.
  Changes[Count++] = {KV_MEM_WP_CONTROL, KV_WP_BIT, TRUE};
  Changes[Count++] = {KV_MEM_WP_LEVEL, KV_WP_BIT, (BOOLEAN)!Protect};
  switch (Group) {
    case WpGroup1:
    case WpGroup2: {
      const UINT8 Bits = Group == WpGroup1 ? KV_LINE_BITS_GROUP1 : KV_LINE_BITS_GROUP2;
      Changes[Count++] = {KV_MEM_LINE_CONTROL, Bits, TRUE};
      Changes[Count++] = {KV_MEM_LINE_LEVEL, Bits, (BOOLEAN)!Protect};
      break;
    }
    case WpGroup3:
      Changes[Count++] = {KV_MEM_WRITE_GATE, KV_WRITE_GATE_BITS, (BOOLEAN)!Protect};
      break;
    case WpGroupNone:
      break;
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
BOOLEAN SetWriteProtect(EFI_USB_IO_PROTOCOL *UsbIo, BOOLEAN Protect) {
  const WP_GROUP Group = GroupOf(ReadVariantCode(UsbIo, Protect), Protect);
  REGISTER_CHANGE Changes[KV_WP_MAX_REGISTERS];
  const UINTN Count = RegisterChanges(Group, Protect, Changes);

  // Zeroed, so that an answer short of its byte never passes on stack contents.
  UINT8 Values[KV_WP_MAX_REGISTERS] = {0, 0, 0, 0};
  for (UINTN I = 0; I < Count; I++) {
    if (!ReadMem(UsbIo, Changes[I].Address, 1, &Values[I])) {
      return FALSE;
    }
  }
  for (UINTN I = 0; I < Count; I++) {
    Values[I] = Changes[I].Set ? (UINT8)(Values[I] | Changes[I].Bits)
                               : (UINT8)(Values[I] & (UINT8)~Changes[I].Bits);
  }
  for (UINTN I = 0; I < Count; I++) {
    if (!WriteMem(UsbIo, Changes[I].Address, 1, &Values[I])) {
      return FALSE;
    }
  }
  if (!WriteSr(UsbIo, Protect ? KV_SR_PROTECTED : KV_SR_UNPROTECTED)) {
    return FALSE;
  }
  return WaitWhileBusy(UsbIo);
}

}  // namespace

BOOLEAN DisableWriteProtect(EFI_USB_IO_PROTOCOL *UsbIo) { return SetWriteProtect(UsbIo, FALSE); }

BOOLEAN EnableWriteProtect(EFI_USB_IO_PROTOCOL *UsbIo) { return SetWriteProtect(UsbIo, TRUE); }
