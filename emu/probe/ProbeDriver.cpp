// KvrProbeDriver.efi: a boot-service driver that proves the harness's side of the run
// before the update driver exists. It takes the capsule the way the update driver is
// given it (on a platform whose FirmwareVendor begins with "INSYDE", the address in
// "KorvaneCameraCapsuleAddress"; elsewhere "CapsuleOnRam", boot-service access only,
// exactly 8 bytes), locates TARVEL_PROGRESS_PROTOCOL, prints one line
//   KVR-PROBE source=<variable|none> attributes=0x.. size=N address=0x..
//             header-size=N capsule-image-size=N
// reports 10 and then 1 to 100, and returns:
//   EFI_SUCCESS            a capsule was handed over and the progress protocol is there
//   EFI_NOT_FOUND          no capsule variable
//   EFI_INVALID_PARAMETER  "CapsuleOnRam" with other attributes or another size
//   EFI_UNSUPPORTED        no progress protocol (nothing is reported)
#include "emu/harness/HarnessCore.h"
#include "platform/Platform.h"

namespace {

using harness::TextLine;

EFI_GUID gCapsuleVendorGuid = EFI_CAPSULE_VENDOR_GUID;
EFI_GUID gKorvaneGuid = {0xFCC82F78, 0x4CEC, 0x4724, {0xA9, 0x20, 0xBD, 0x2F, 0x17, 0x50, 0x0D, 0x70}};
EFI_GUID gProgressGuid = TARVEL_PROGRESS_PROTOCOL_GUID;
CHAR16 gCapsuleOnRam[] = u"CapsuleOnRam";
CHAR16 gKorvaneAddress[] = u"KorvaneCameraCapsuleAddress";

TextLine gLine;

void Print(EFI_SYSTEM_TABLE *st, const TextLine &line) {
  static CHAR16 text[TextLine::kCapacity + 3];
  UINTN n = 0;
  for (; n < line.Length(); n++) {
    text[n] = static_cast<CHAR16>(static_cast<UINT8>(line.Text()[n]));
  }
  text[n++] = u'\r';
  text[n++] = u'\n';
  text[n] = 0;
  st->ConOut->OutputString(st->ConOut, text);
}

BOOLEAN VendorIsInsyde(const CHAR16 *vendor) {
  static const CHAR16 kInsyde[] = u"INSYDE";
  for (UINTN i = 0; i < 6; i++) {
    if (vendor == NULL || vendor[i] != kInsyde[i]) {
      return FALSE;
    }
  }
  return TRUE;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI KvrProbeMain(EFI_HANDLE, EFI_SYSTEM_TABLE *st) {
  EFI_RUNTIME_SERVICES *rt = st->RuntimeServices;
  const BOOLEAN insyde = VendorIsInsyde(st->FirmwareVendor);
  UINT32 attributes = 0;
  UINT64 address = 0;
  UINTN size = sizeof(address);
  EFI_STATUS status = insyde ? rt->GetVariable(gKorvaneAddress, &gKorvaneGuid, &attributes, &size,
                                               &address)
                             : rt->GetVariable(gCapsuleOnRam, &gCapsuleVendorGuid, &attributes,
                                               &size, &address);
  gLine.Clear();
  gLine.Add("KVR-PROBE source=");
  if (EFI_ERROR(status)) {
    gLine.Add("none status=").Hex(status);
    Print(st, gLine);
    return EFI_NOT_FOUND;
  }
  gLine.Add(insyde ? "KorvaneCameraCapsuleAddress" : "CapsuleOnRam");
  gLine.Add(" attributes=").Hex(attributes).Add(" size=").Decimal(size);
  gLine.Add(" address=").Hex(address);
  if (!insyde && (attributes != EFI_VARIABLE_BOOTSERVICE_ACCESS || size != sizeof(address))) {
    Print(st, gLine);
    return EFI_INVALID_PARAMETER;
  }
  const UINT8 *capsule = reinterpret_cast<const UINT8 *>(address);
  gLine.Add(" header-size=").Decimal(KvrReadU32(capsule + offsetof(EFI_CAPSULE_HEADER, HeaderSize)));
  gLine.Add(" capsule-image-size=");
  gLine.Decimal(KvrReadU32(capsule + offsetof(EFI_CAPSULE_HEADER, CapsuleImageSize)));
  Print(st, gLine);

  TARVEL_PROGRESS_PROTOCOL *progress = NULL;
  status = st->BootServices->LocateProtocol(&gProgressGuid, NULL,
                                            reinterpret_cast<VOID **>(&progress));
  if (EFI_ERROR(status) || progress == NULL) {
    return EFI_UNSUPPORTED;
  }
  progress->UpdateProgress(progress, 10);
  for (UINTN percent = 1; percent <= 100; percent++) {
    progress->UpdateProgress(progress, percent);
  }
  return EFI_SUCCESS;
}
