// Platform tables, pool wrappers, the USB I/O handle lookup and memory helpers.
#include "Platform.h"

EFI_HANDLE ImageHandle = NULL;
EFI_SYSTEM_TABLE *SystemTable = NULL;
EFI_BOOT_SERVICES *BootServices = NULL;
EFI_RUNTIME_SERVICES *RuntimeServices = NULL;

EFI_GUID gTarvelProgressProtocolGuid = TARVEL_PROGRESS_PROTOCOL_GUID;
EFI_GUID gEfiUsbIoProtocolGuid = EFI_USB_IO_PROTOCOL_GUID;
EFI_GUID gEfiDevicePathProtocolGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
EFI_GUID gEfiHobListGuid = EFI_HOB_LIST_GUID;
EFI_GUID gEfiCapsuleVendorGuid = EFI_CAPSULE_VENDOR_GUID;

VOID *AllocatePool(UINTN Size) {
  VOID *Buffer = NULL;
  EFI_STATUS Status = BootServices->AllocatePool(EfiBootServicesData, Size, &Buffer);
  if (EFI_ERROR(Status)) {
    return NULL;
  }
  return Buffer;
}

VOID *AllocateZeroPool(UINTN Size) {
  VOID *Buffer = AllocatePool(Size);
  if (Buffer != NULL) {
    KvrSetMem(Buffer, Size, 0);
  }
  return Buffer;
}

VOID FreePool(VOID *Buffer) { (VOID) BootServices->FreePool(Buffer); }

VOID KvrProgress(KV_PROGRESS *Progress, INT32 Percent, BOOLEAN Done) {
  if (Progress->Protocol == NULL) {
    return;
  }
  UINT32 Told = Percent < 0 ? 0 : (UINT32)Percent;
  const UINT32 Highest = Done ? KV_PROGRESS_MAX : KV_PROGRESS_MAX_UNFINISHED;
  if (Told > Highest) {
    Told = Highest;
  }
  if (Told < Progress->Last) {
    Told = Progress->Last;
  }
  Progress->Last = Told;
  (VOID) Progress->Protocol->UpdateProgress(Progress->Protocol, Told);
}

VOID KvrCopyMem(VOID *Destination, const VOID *Source, UINTN Length) {
  UINT8 *D = (UINT8 *)Destination;
  const UINT8 *S = (const UINT8 *)Source;
  if (D == S || Length == 0) {
    return;
  }
  if (D < S || D >= S + Length) {
    for (UINTN I = 0; I < Length; I++) {
      D[I] = S[I];
    }
  } else {
    for (UINTN I = Length; I > 0; I--) {
      D[I - 1] = S[I - 1];
    }
  }
}

VOID KvrSetMem(VOID *Buffer, UINTN Length, UINT8 Value) {
  UINT8 *P = (UINT8 *)Buffer;
  for (UINTN I = 0; I < Length; I++) {
    P[I] = Value;
  }
}

VOID KvrComplementMem(VOID *Destination, const VOID *Source, UINTN Length) {
  UINT8 *D = (UINT8 *)Destination;
  const UINT8 *S = (const UINT8 *)Source;
  for (UINTN I = 0; I < Length; I++) {
    D[I] = (UINT8)~S[I];
  }
}

BOOLEAN KvrCompareMem(const VOID *A, const VOID *B, UINTN Length) {
  const UINT8 *Pa = (const UINT8 *)A;
  const UINT8 *Pb = (const UINT8 *)B;
  for (UINTN I = 0; I < Length; I++) {
    if (Pa[I] != Pb[I]) {
      return FALSE;
    }
  }
  return TRUE;
}

BOOLEAN KvrCompareGuid(const EFI_GUID *A, const EFI_GUID *B) {
  return KvrCompareMem(A, B, sizeof(EFI_GUID));
}

UINTN KvrStrLen(const CHAR16 *String, UINTN MaxLength) {
  UINTN Length = 0;
  if (String == NULL) {
    return 0;
  }
  while (Length < MaxLength && String[Length] != 0) {
    Length++;
  }
  return Length;
}
