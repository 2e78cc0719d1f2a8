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

EFI_STATUS LocateUsbIoHandles(UINTN *Count, EFI_HANDLE **Handles, BOOLEAN LogCount) {
  *Count = 0;
  *Handles = NULL;
  EFI_STATUS Status =
      BootServices->LocateHandleBuffer(ByProtocol, &gEfiUsbIoProtocolGuid, NULL, Count, Handles);
  if (EFI_ERROR(Status) || *Handles == NULL) {
    *Count = 0;
    *Handles = NULL;
  }
  if (LogCount) {
    DebugMessage("Nunber of USB Handle is %d\r\n", (INT32)*Count);
  }
  return Status;
}

EFI_USB_IO_PROTOCOL *OpenUsbIoHandle(EFI_HANDLE Handle, UINTN Index) {
  EFI_USB_IO_PROTOCOL *UsbIo = NULL;
  EFI_STATUS Status = BootServices->HandleProtocol(Handle, &gEfiUsbIoProtocolGuid, (VOID **)&UsbIo);
  if (EFI_ERROR(Status) || UsbIo == NULL) {
    DebugMessage("%d call HandleProtocol fail, EFI_Hand=0x%p\r\n", (INT32)Index, Handle);
    return NULL;
  }
  return UsbIo;
}

BOOLEAN KvrPortChainOf(const EFI_DEVICE_PATH_PROTOCOL *Path, KV_PORT_CHAIN *Chain) {
  KvrSetMem(Chain, sizeof(*Chain), 0);
  if (Path == NULL) {
    return FALSE;
  }
  const UINT8 *Start = (const UINT8 *)Path;
  UINTN Offset = 0;
  UINTN LastUsb = 0;  // offset of the last USB() node, valid when End is not 0
  UINTN End = 0;      // offset right behind that node
  for (UINTN Count = 0;; Count++) {
    if (Count == KV_MAX_DEVICE_PATH_NODES) {
      return FALSE;
    }
    const UINT8 *Node = Start + Offset;
    const UINT8 Type = Node[offsetof(EFI_DEVICE_PATH_PROTOCOL, Type)];
    const UINT8 SubType = Node[offsetof(EFI_DEVICE_PATH_PROTOCOL, SubType)];
    if (Type == END_DEVICE_PATH_TYPE && SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE) {
      break;
    }
    const UINT16 Length = KvrReadU16(Node + offsetof(EFI_DEVICE_PATH_PROTOCOL, Length));
    if (Length < sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
      return FALSE;
    }
    if (Type == MESSAGING_DEVICE_PATH && SubType == MSG_USB_DP && Length >= sizeof(USB_DEVICE_PATH)) {
      LastUsb = Offset;
      End = Offset + Length;
    }
    Offset += Length;  // at most KV_MAX_DEVICE_PATH_NODES nodes of 64 KiB: no overflow
  }
  if (End == 0 || End > KV_PORT_CHAIN_MAX) {
    return FALSE;
  }
  KvrCopyMem(Chain->Path, Start, End);
  Chain->Path[LastUsb + offsetof(USB_DEVICE_PATH, InterfaceNumber)] = 0;
  Chain->Length = (UINT8)End;
  return TRUE;
}

BOOLEAN KvrHandlePortChain(EFI_HANDLE Handle, KV_PORT_CHAIN *Chain) {
  EFI_DEVICE_PATH_PROTOCOL *Path = NULL;
  if (EFI_ERROR(BootServices->HandleProtocol(Handle, &gEfiDevicePathProtocolGuid, (VOID **)&Path))) {
    KvrSetMem(Chain, sizeof(*Chain), 0);
    return FALSE;
  }
  return KvrPortChainOf(Path, Chain);
}

BOOLEAN KvrSamePort(const KV_PORT_CHAIN *A, const KV_PORT_CHAIN *B) {
  return A->Length != 0 && A->Length == B->Length && KvrCompareMem(A->Path, B->Path, A->Length);
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
