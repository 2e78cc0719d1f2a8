// The USB I/O handles, the port chains that tell devices apart, and the gate every call
// through an EFI_USB_IO_PROTOCOL passes.
#include "Usb.h"

namespace {

// The bytes of Path up to and including its last USB() node, and in *LastUsb that node's
// offset; 0 for a path without a USB() node or without an end within
// KV_MAX_DEVICE_PATH_NODES nodes.
UINTN PortChainSpan(const UINT8 *Path, UINTN *LastUsb) {
  UINTN Offset = 0;
  UINTN End = 0;
  for (UINTN Count = 0;; Count++) {
    if (Count == KV_MAX_DEVICE_PATH_NODES) {
      return 0;
    }
    const UINT8 *Node = Path + Offset;
    const UINT8 Type = Node[offsetof(EFI_DEVICE_PATH_PROTOCOL, Type)];
    const UINT8 SubType = Node[offsetof(EFI_DEVICE_PATH_PROTOCOL, SubType)];
    if (Type == END_DEVICE_PATH_TYPE && SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE) {
      return End;
    }
    const UINT16 Length = KvrReadU16(Node + offsetof(EFI_DEVICE_PATH_PROTOCOL, Length));
    if (Length < sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
      return 0;
    }
    if (Type == MESSAGING_DEVICE_PATH && SubType == MSG_USB_DP) {  // as the probe counts one
      *LastUsb = Offset;
      End = Offset + Length;
    }
    Offset += Length;  // at most KV_MAX_DEVICE_PATH_NODES nodes of 64 KiB: no overflow
  }
}

EFI_DEVICE_PATH_PROTOCOL *DevicePathOf(EFI_HANDLE Handle) {
  EFI_DEVICE_PATH_PROTOCOL *Path = NULL;
  if (EFI_ERROR(BootServices->HandleProtocol(Handle, &gEfiDevicePathProtocolGuid, (VOID **)&Path))) {
    return NULL;
  }
  return Path;
}

}  // namespace

BOOLEAN KvrPortChainOf(const EFI_DEVICE_PATH_PROTOCOL *Path, KV_PORT_CHAIN *Chain) {
  KvrSetMem(Chain, sizeof(*Chain), 0);
  UINTN LastUsb = 0;
  const UINTN End = Path == NULL ? 0 : PortChainSpan((const UINT8 *)Path, &LastUsb);
  if (End == 0 || End > KV_PORT_CHAIN_MAX) {
    return FALSE;
  }
  KvrCopyMem(Chain->Path, Path, End);
  if (End - LastUsb > offsetof(USB_DEVICE_PATH, InterfaceNumber)) {
    Chain->Path[LastUsb + offsetof(USB_DEVICE_PATH, InterfaceNumber)] = 0;
  }
  Chain->Length = (UINT8)End;
  return TRUE;
}

BOOLEAN KvrHandlePortChain(EFI_HANDLE Handle, KV_PORT_CHAIN *Chain) {
  return KvrPortChainOf(DevicePathOf(Handle), Chain);
}

BOOLEAN KvrSamePort(const KV_PORT_CHAIN *A, const KV_PORT_CHAIN *B) {
  return A->Length != 0 && A->Length == B->Length && KvrCompareMem(A->Path, B->Path, A->Length);
}

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
  KvrUsbBind(Handle, UsbIo);
  return UsbIo;
}

// ---------------------------------------------------------------- the USB I/O gate

namespace {

struct KV_USB_BINDING {
  EFI_USB_IO_PROTOCOL *UsbIo;  // NULL: a free slot
  EFI_HANDLE Handle;
  UINT32 PortCrc;  // CRC32 of the port chain when the interface was taken
};
KV_USB_BINDING Bindings[KV_USB_BINDINGS];
UINTN NextBinding = 0;

// CRC32 of the device path on Handle up to its last USB() node: the port, and the
// interface on it. FALSE when there is none.
BOOLEAN PortCrcOf(EFI_HANDLE Handle, UINT32 *Crc) {
  *Crc = 0;
  const EFI_DEVICE_PATH_PROTOCOL *Path = DevicePathOf(Handle);
  UINTN LastUsb = 0;
  const UINTN Span = Path == NULL ? 0 : PortChainSpan((const UINT8 *)Path, &LastUsb);
  return Span != 0 && !EFI_ERROR(BootServices->CalculateCrc32((VOID *)Path, Span, Crc)) ? TRUE
                                                                                       : FALSE;
}

KV_USB_BINDING *BindingOf(const EFI_USB_IO_PROTOCOL *UsbIo) {
  for (UINTN Index = 0; UsbIo != NULL && Index < KV_USB_BINDINGS; Index++) {
    if (Bindings[Index].UsbIo == UsbIo) {
      return &Bindings[Index];
    }
  }
  return NULL;
}

// Raises the TPL to TPL_CALLBACK (*OldTpl: the caller's) and checks that UsbIo is still on
// its handle and port. TRUE: call now, then restore *OldTpl. FALSE: gone, the TPL restored;
// logged when the check finds it gone, and for an interface the gate no longer knows when
// a call was asked for (Calling).
BOOLEAN EnterGate(EFI_USB_IO_PROTOCOL *UsbIo, EFI_TPL *OldTpl, BOOLEAN Calling = TRUE) {
  *OldTpl = BootServices->RaiseTPL(TPL_CALLBACK);
  KV_USB_BINDING *Binding = BindingOf(UsbIo);
  if (Binding != NULL) {
    // The handle database answers for a handle that has gone without reading through it.
    EFI_USB_IO_PROTOCOL *Installed = NULL;
    UINT32 Crc = 0;
    if (!EFI_ERROR(BootServices->HandleProtocol(Binding->Handle, &gEfiUsbIoProtocolGuid,
                                                (VOID **)&Installed)) &&
        Installed == UsbIo && PortCrcOf(Binding->Handle, &Crc) && Crc == Binding->PortCrc) {
      return TRUE;
    }
    Binding->UsbIo = NULL;  // gone for good: its memory may come back as another interface
  }
  BootServices->RestoreTPL(*OldTpl);
  if (Binding != NULL || Calling) {
    DebugMessage("Device has left the bus, no request sent to it\r\n");
  }
  return FALSE;
}

enum KV_USB_GETTER { GetDevice, GetConfig, GetInterface };

EFI_STATUS GetDescriptor(EFI_USB_IO_PROTOCOL *UsbIo, KV_USB_GETTER Which, VOID *Out) {
  EFI_TPL OldTpl;
  if (!EnterGate(UsbIo, &OldTpl)) {
    return EFI_DEVICE_ERROR;
  }
  EFI_STATUS Status;
  if (Which == GetDevice) {
    Status = UsbIo->UsbGetDeviceDescriptor(UsbIo, (EFI_USB_DEVICE_DESCRIPTOR *)Out);
  } else if (Which == GetConfig) {
    Status = UsbIo->UsbGetConfigDescriptor(UsbIo, (EFI_USB_CONFIG_DESCRIPTOR *)Out);
  } else {
    Status = UsbIo->UsbGetInterfaceDescriptor(UsbIo, (EFI_USB_INTERFACE_DESCRIPTOR *)Out);
  }
  BootServices->RestoreTPL(OldTpl);
  return Status;
}

}  // namespace

UINT32 KvrUsbTimedOutMs = 0;

VOID KvrUsbBind(EFI_HANDLE Handle, EFI_USB_IO_PROTOCOL *UsbIo) {
  KV_USB_BINDING *Binding = BindingOf(UsbIo);
  if (Binding == NULL) {
    Binding = &Bindings[NextBinding];
    NextBinding = (NextBinding + 1) % KV_USB_BINDINGS;
  }
  Binding->UsbIo = UsbIo;
  Binding->Handle = Handle;
  (VOID) PortCrcOf(Handle, &Binding->PortCrc);
}

BOOLEAN KvrUsbPresent(EFI_USB_IO_PROTOCOL *UsbIo) {
  EFI_TPL OldTpl;
  if (!EnterGate(UsbIo, &OldTpl, FALSE)) {
    return FALSE;
  }
  BootServices->RestoreTPL(OldTpl);
  return TRUE;
}

VOID KvrUsbForgetAll() {
  KvrSetMem(Bindings, sizeof(Bindings), 0);
  NextBinding = 0;
  KvrUsbTimedOutMs = 0;
}

EFI_STATUS KvrUsbGetDeviceDescriptor(EFI_USB_IO_PROTOCOL *UsbIo, EFI_USB_DEVICE_DESCRIPTOR *Out) {
  return GetDescriptor(UsbIo, GetDevice, Out);
}

EFI_STATUS KvrUsbGetConfigDescriptor(EFI_USB_IO_PROTOCOL *UsbIo, EFI_USB_CONFIG_DESCRIPTOR *Out) {
  return GetDescriptor(UsbIo, GetConfig, Out);
}

EFI_STATUS KvrUsbGetInterfaceDescriptor(EFI_USB_IO_PROTOCOL *UsbIo,
                                        EFI_USB_INTERFACE_DESCRIPTOR *Out) {
  return GetDescriptor(UsbIo, GetInterface, Out);
}

EFI_STATUS KvrUsbControlTransfer(EFI_USB_IO_PROTOCOL *UsbIo, EFI_USB_DEVICE_REQUEST *Request,
                                 EFI_USB_DATA_DIRECTION Direction, UINT32 TimeoutMs, VOID *Data,
                                 UINTN DataLength, UINT32 *UsbStatus) {
  EFI_TPL OldTpl;
  if (!EnterGate(UsbIo, &OldTpl)) {
    return EFI_DEVICE_ERROR;
  }
  const EFI_STATUS Status =
      UsbIo->UsbControlTransfer(UsbIo, Request, Direction, TimeoutMs, Data, DataLength, UsbStatus);
  BootServices->RestoreTPL(OldTpl);
  if (Status == EFI_TIMEOUT) {
    KvrUsbTimedOutMs += TimeoutMs;
  }
  return Status;
}

