// The driver's entry point and the update run: locate the camera image, find the camera,
// update it by the flash path or by DFU, and return the result.
#include "Driver.h"
#include "capsule/Capsule.h"
#include "dfu/Dfu.h"
#include "discovery/Discovery.h"
#include "flash/Flash.h"

namespace {

// The six units a FirmwareVendor string must begin with for the address-variable path.
const CHAR16 kInsydeVendor[] = u"INSYDE";
constexpr UINTN kInsydeVendorLength = 6;

BOOLEAN IsInsydePlatform() {
  const CHAR16 *Vendor = SystemTable->FirmwareVendor;
  if (Vendor == NULL) {
    return FALSE;
  }
  // Stops at the first difference, so a shorter string fails at its terminating NUL.
  for (UINTN Index = 0; Index < kInsydeVendorLength; Index++) {
    if (Vendor[Index] != kInsydeVendor[Index]) {
      return FALSE;
    }
  }
  return TRUE;
}

EFI_STATUS ExitRun(EFI_STATUS Status) {
  DebugMessage("Korvane camera Flash driver entry <=\r\n");
  return Status;
}

// Finds the camera image: through the address variable on INSYDE platforms, else the
// capsule's firmware volume. Returns its header, or NULL; dwImageLength is its length.
EFI_STATUS LocateImage(KVN_FW_HEADER **Header) {
  *Header = NULL;
  dwImageLength = 0;
  if (IsInsydePlatform()) {
    *Header = (KVN_FW_HEADER *)GetImageFromAddressVariable();
    return EFI_SUCCESS;
  }
  EFI_STATUS Status = LocateCapsule();
  if (EFI_ERROR(Status)) {
    DebugMessage("Get Capsule file Failed.\n");
    return Status;
  }
  DebugMessage("Prepare to search image from Capsule\n");
  VOID *Image = NULL;
  SearchImageInCapsule(&Image);
  *Header = (KVN_FW_HEADER *)Image;
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS UpdateFirstMatchingDevice(const KVN_FW_HEADER *pKVNFWHeader,
                                     TARVEL_PROGRESS_PROTOCOL *Progress, EFI_STATUS Status,
                                     BOOLEAN *Matched) {
  if (Matched != NULL) {
    *Matched = FALSE;
  }
  FmpPrivateData *Private = pKVFmpPrivateData;
  UINT16 Count = Private->wCount <= FMP_DEVICE_MAX ? Private->wCount : FMP_DEVICE_MAX;
  for (UINT16 Index = 0; Index < Count; Index++) {
    EFI_USB_IO_PROTOCOL *UsbIo = Private->pUsbIo[Index];
    if (UsbIo == NULL) {
      continue;
    }
    EFI_USB_DEVICE_DESCRIPTOR Device;
    EFI_STATUS DescriptorStatus = KvrUsbGetDeviceDescriptor(UsbIo, &Device);
    if (!EFI_ERROR(DescriptorStatus)) {
      if (Index < Private->bDescriptorCount && Private->pDescriptor != NULL) {
        Private->pDescriptor[Index].Version = Device.BcdDevice;
      }
      Private->wVID[Index] = Device.IdVendor;
      Private->wPID[Index] = Device.IdProduct;
      DebugMessage("Original FW Version is %x\r\n", (UINT32)Device.BcdDevice);
    } else {
      LogInfo("Get device descriptor failed:0x%X.\n", (UINT32)DescriptorStatus);
    }
    DebugMessage("pKVFmpPrivateData-> wVID = %x, pKVFmpPrivateData->wPID = %x\r\n",
                 (UINT32)Private->wVID[Index], (UINT32)Private->wPID[Index]);

    if (pKVNFWHeader->wVID != Private->wVID[Index] || pKVNFWHeader->wPID != Private->wPID[Index]) {
      continue;
    }
    const UINT8 *Payload = KvnPayload(pKVNFWHeader);
    UINT64 PayloadLength = KvnPayloadLength(pKVNFWHeader);
    DebugMessage("Find match HWID, Try to update FW\r\n");
    if (Matched != NULL) {
      *Matched = TRUE;
    }
    if (!KvrUsbPresent(UsbIo)) {
      Status = EFI_DEVICE_ERROR;  // the camera left after discovery: try on the next boot
      break;
    }
    UINT16 Mode = Private->wMode[Index];
    if (Mode == UPDATE_MODE_DFU || Mode == UPDATE_MODE_DFU_CAPABLE) {
      const DFU_TARGET Target = {&Private->PortChain[Index], pKVNFWHeader->wVID,
                                 pKVNFWHeader->wPID};
      Status = DFUFwDownload(UsbIo, Mode, Private->wInterfaceNumber[Index], Payload,
                             PayloadLength, Progress, &Target);
    } else {
      Status = FlashFwDownload(UsbIo, Payload, PayloadLength, Progress);
    }
    if (!EFI_ERROR(Status)) {
      DebugMessage("Update FW success\r\n");
    }
    break;
  }
  return Status;
}

EFI_STATUS KvrUpdateRun() {
  DebugMessage("Korvane camera Flash driver entry =>\r\n");

  KVN_FW_HEADER *pKVNFWHeader = NULL;
  EFI_STATUS Status = LocateImage(&pKVNFWHeader);
  if (EFI_ERROR(Status)) {
    return ExitRun(Status);
  }
  // Without an image there is nothing to compare and nothing to write: end here rather
  // than query the cameras and report the progress lookup's status as the result.
  if (pKVNFWHeader == NULL) {
    DebugMessage("No camera image in the capsule.\n");
    return ExitRun(EFI_NOT_FOUND);
  }
  Status = ValidateImageHeader(pKVNFWHeader, dwImageLength);
  if (EFI_ERROR(Status)) {
    return ExitRun(Status);
  }

  pKVFmpPrivateData = (FmpPrivateData *)AllocateZeroPool(sizeof(FmpPrivateData));
  if (pKVFmpPrivateData == NULL) {
    DebugMessage("Out of resource to allocate FMP private data \n");
    return EFI_OUT_OF_RESOURCES;
  }
  Status = InitializeKVDescriptor();
  if (EFI_ERROR(Status)) {
    DebugMessage("Initialze Private data fail \n");
    FreePool(pKVFmpPrivateData);
    pKVFmpPrivateData = NULL;
    return Status;
  }

  const EFI_STATUS ScanStatus = GetUsbIoByLocateHandleBuffer();
  if (EFI_ERROR(ScanStatus)) {
    DebugMessage("USB scan incomplete (%r): a camera may have been missed\r\n", ScanStatus);
  }

  TARVEL_PROGRESS_PROTOCOL *Progress = NULL;
  Status = BootServices->LocateProtocol(&gTarvelProgressProtocolGuid, NULL, (VOID **)&Progress);
  if (!EFI_ERROR(Status) && Progress != NULL) {
    KV_PROGRESS Found = {Progress, 0};
    KvrProgress(&Found, KV_PROGRESS_FOUND);
  } else {
    DebugMessage("LocateProtocol for Tarvel Progress fail\r\n");
    Progress = NULL;
  }

  // Without a match the run returns the progress lookup's status: a platform may ship one
  // capsule to machines without the camera. A scan that may have missed the camera is not
  // that case: its fault is the result; so is a device with the image's IDs whose probe
  // could not finish. A camera stranded in its DFU ROM device matches no entry either: the
  // update resumes there when the in-flight record says it is this image's, and that
  // update's status is the result (DFUResumeInterrupted).
  if (EFI_ERROR(ScanStatus)) {
    Status = ScanStatus;
  }
  BOOLEAN Matched = FALSE;
  Status = UpdateFirstMatchingDevice(pKVNFWHeader, Progress, Status, &Matched);
  if (!Matched) {
    if (ProbeFaultHid(pKVNFWHeader->wVID, pKVNFWHeader->wPID)) {
      Status = EFI_DEVICE_ERROR;
      DebugMessage("USB scan incomplete (%r): a camera may have been missed\r\n", Status);
    } else {
      (VOID) DFUResumeInterrupted(KvnPayload(pKVNFWHeader), KvnPayloadLength(pKVNFWHeader),
                                  pKVNFWHeader->wVID, pKVNFWHeader->wPID, Progress, &Status);
    }
  }
  return ExitRun(Status);
}

extern "C" EFI_STATUS EFIAPI KvrFmpDriverEntry(EFI_HANDLE Image, EFI_SYSTEM_TABLE *System) {
  ImageHandle = Image;
  SystemTable = System;
  BootServices = System->BootServices;
  RuntimeServices = System->RuntimeServices;
  return KvrUpdateRun();
}
