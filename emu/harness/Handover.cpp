// Handing the capsule to the driver the way a platform does, and the progress protocol
// the platform offers it.
#include "emu/harness/Harness.h"

namespace harness {

namespace {

EFI_GUID gCapsuleVendorGuid = EFI_CAPSULE_VENDOR_GUID;
EFI_GUID gKorvaneAddressGuid = HARNESS_KORVANE_ADDRESS_VARIABLE_GUID;
EFI_GUID gProgressGuid = TARVEL_PROGRESS_PROTOCOL_GUID;

CHAR16 gCapsuleOnRamName[] = u"CapsuleOnRam";
CHAR16 gKorvaneAddressName[] = u"KorvaneCameraCapsuleAddress";

CHAR16 *gFirmwareVendor = NULL;  // the firmware's own, while ours is in the table
CHAR16 gVendorText[kVendorChars];

// Sets a volatile, boot-service-only variable holding an address, replacing any variable
// of that name whatever its attributes.
EFI_STATUS SetAddressVariable(CHAR16 *Name, EFI_GUID *Guid, EFI_PHYSICAL_ADDRESS Address) {
  UINT32 attributes = 0;
  UINTN size = 0;
  if (gRT->GetVariable(Name, Guid, &attributes, &size, NULL) == EFI_BUFFER_TOO_SMALL) {
    const EFI_STATUS deleted = gRT->SetVariable(Name, Guid, attributes, 0, NULL);
    if (EFI_ERROR(deleted)) {
      return deleted;
    }
  }
  UINT64 value = Address;
  return gRT->SetVariable(Name, Guid, EFI_VARIABLE_BOOTSERVICE_ACCESS, sizeof(value), &value);
}

void UpdateSystemTableCrc() {
  gST->Hdr.CRC32 = 0;
  UINT32 crc = 0;
  if (!EFI_ERROR(gBS->CalculateCrc32(gST, gST->Hdr.HeaderSize, &crc))) {
    gST->Hdr.CRC32 = crc;
  }
}

void Announce(const CHAR8 *variable, EFI_PHYSICAL_ADDRESS address, EFI_STATUS status) {
  static TextLine line;
  line.Clear();
  line.Add("KvrHarness: ").Add(variable).Add(" = ").Hex(address).Add(", SetVariable ");
  line.Hex(status);
  Print(line);
}

// ---------------------------------------------------------------- progress

ProgressRecord gProgress;
EFI_HANDLE gProgressHandle = NULL;

EFI_STATUS EFIAPI UpdateProgress(TARVEL_PROGRESS_PROTOCOL *This, UINTN Percent) {
  (VOID) This;
  gProgress.Record(Percent);
  static TextLine line;
  line.Clear();
  FormatProgressBar(Percent, &line);
  Print(line);
  return EFI_SUCCESS;
}

TARVEL_PROGRESS_PROTOCOL gProgressProtocol = {UpdateProgress};

}  // namespace

EFI_STATUS HandOverCapsuleOnRam(EFI_PHYSICAL_ADDRESS Address) {
  const EFI_STATUS status = SetAddressVariable(gCapsuleOnRamName, &gCapsuleVendorGuid, Address);
  Announce("CapsuleOnRam", Address, status);
  return status;
}

EFI_STATUS HandOverInsyde(EFI_PHYSICAL_ADDRESS Address, const CHAR16 *Vendor) {
  UINTN i = 0;
  for (; i + 1 < kVendorChars && Vendor[i] != 0; i++) {
    gVendorText[i] = Vendor[i];
  }
  gVendorText[i] = 0;
  if (gFirmwareVendor == NULL) {
    gFirmwareVendor = gST->FirmwareVendor;
  }
  gST->FirmwareVendor = gVendorText;
  UpdateSystemTableCrc();
  static TextLine line;
  line.Clear();
  line.Add("KvrHarness: FirmwareVendor is \"").Wide(gVendorText, kVendorChars).Add("\" for the run");
  Print(line);

  const EFI_STATUS status =
      SetAddressVariable(gKorvaneAddressName, &gKorvaneAddressGuid, Address);
  Announce("KorvaneCameraCapsuleAddress", Address, status);
  return status;
}

void RestoreFirmwareVendor() {
  if (gFirmwareVendor != NULL) {
    gST->FirmwareVendor = gFirmwareVendor;
    gFirmwareVendor = NULL;
    UpdateSystemTableCrc();
  }
}

void DescribeCapsule(const FileBuffer &Capsule) {
  static TextLine line;
  line.Clear();
  line.Add("KvrHarness: capsule of ").Decimal(Capsule.size).Add(" bytes at ").Hex(Capsule.address);
  if (Capsule.size >= sizeof(EFI_CAPSULE_HEADER)) {
    const UINT8 *bytes = reinterpret_cast<const UINT8 *>(Capsule.address);
    line.Add(", HeaderSize ").Decimal(KvrReadU32(bytes + offsetof(EFI_CAPSULE_HEADER, HeaderSize)));
    line.Add(", Flags ").Hex(KvrReadU32(bytes + offsetof(EFI_CAPSULE_HEADER, Flags)));
    line.Add(", CapsuleImageSize ");
    line.Decimal(KvrReadU32(bytes + offsetof(EFI_CAPSULE_HEADER, CapsuleImageSize)));
  }
  Print(line);
}

EFI_STATUS InstallProgress() {
  gProgressHandle = NULL;
  return gBS->InstallProtocolInterface(&gProgressHandle, &gProgressGuid, EFI_NATIVE_INTERFACE,
                                       &gProgressProtocol);
}

void UninstallProgress() {
  if (gProgressHandle != NULL) {
    Slot<EFI_UNINSTALL_PROTOCOL_INTERFACE>(gBS->UninstallProtocolInterface)(
        gProgressHandle, &gProgressGuid, &gProgressProtocol);
    gProgressHandle = NULL;
  }
}

const ProgressRecord &Progress() { return gProgress; }

}  // namespace harness
