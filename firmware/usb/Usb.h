// The driver's USB layer: the USB I/O handles and the port a device sits on, the gate every
// call through an EFI_USB_IO_PROTOCOL passes, the one control-transfer primitive, the
// standard descriptor reads with the iterator every descriptor walk uses, and the looks and
// waits for a device on a port chain.
#pragma once

#include "platform/Platform.h"

// ---------------------------------------------------------------- USB I/O handles and ports
// Every handle with the USB I/O protocol, in handle order, with the line "Nunber of USB
// Handle is %d" when LogCount is TRUE. When the lookup fails *Count is 0 and *Handles NULL;
// its status is returned either way (EFI_NOT_FOUND: no USB device at all). The caller frees
// *Handles.
EFI_STATUS LocateUsbIoHandles(UINTN *Count, EFI_HANDLE **Handles, BOOLEAN LogCount);
// The USB I/O interface on Handle, the Index-th of the lookup; NULL, with the line
// "%d call HandleProtocol fail, EFI_Hand=0x%p", when the handle gives none.
EFI_USB_IO_PROTOCOL *OpenUsbIoHandle(EFI_HANDLE Handle, UINTN Index);

// Most nodes of a device path walked before the path is taken as having no end.
#define KV_MAX_DEVICE_PATH_NODES 512

// The physical port of a USB device: its device path's nodes up to and including the last
// USB() node, that node's interface number left out (0), as packed bytes. Every interface
// of one device, and the device enumerated again on its port (after a restart or a DFU
// detach), have one chain; a device on another port, or on another port of a hub, has
// another. Length 0: not known. Bytes of Path past Length are 0.
#define KV_PORT_CHAIN_MAX 128
#pragma pack(push, 1)
struct KV_PORT_CHAIN {
  UINT8 Length;
  UINT8 Path[KV_PORT_CHAIN_MAX];
};
#pragma pack(pop)
static_assert(sizeof(KV_PORT_CHAIN) == 1 + KV_PORT_CHAIN_MAX);
// The chain of Path. FALSE, with Chain->Length 0, for a path without a USB() node, without
// an end within KV_MAX_DEVICE_PATH_NODES nodes, or with a chain longer than
// KV_PORT_CHAIN_MAX bytes.
BOOLEAN KvrPortChainOf(const EFI_DEVICE_PATH_PROTOCOL *Path, KV_PORT_CHAIN *Chain);
// The chain of the device path on Handle; FALSE as above, or when the handle has none.
BOOLEAN KvrHandlePortChain(EFI_HANDLE Handle, KV_PORT_CHAIN *Chain);
// TRUE when both chains are known and the same.
BOOLEAN KvrSamePort(const KV_PORT_CHAIN *A, const KV_PORT_CHAIN *B);

// ---------------------------------------------------------------- the USB I/O gate
// Every call the driver makes through an EFI_USB_IO_PROTOCOL goes through the gate: the
// control transfer (UsbControlRequest, the driver's one control-transfer primitive) and the
// descriptor getters below. A device that leaves the bus takes its interface with it: the
// firmware's USB bus driver uninstalls the interface and frees it, from its hub polling
// timer at TPL_CALLBACK, so a call through a pointer kept across a departure would read
// freed memory. The gate keeps, for each interface the driver took from a handle
// (OpenUsbIoHandle), that handle and a CRC32 of its device path up to the last USB() node
// (the port and the interface on it); before a call it
// checks, at TPL_CALLBACK so that no removal can run in between, that the handle still
// carries that very interface on that very port, and makes the call at that TPL. The TPL is
// back to the caller's when the gate returns, before any Stall. An interface that fails the
// check, or that the gate does not know, has gone: nothing is sent, the line "Device has
// left the bus, no request sent to it" is logged, and the call answers EFI_DEVICE_ERROR.
#define KV_USB_BINDINGS 256

// Remembers that UsbIo was taken from Handle (OpenUsbIoHandle does it for the driver).
VOID KvrUsbBind(EFI_HANDLE Handle, EFI_USB_IO_PROTOCOL *UsbIo);
// The check alone: TRUE while UsbIo's device is still on the bus; FALSE once it has gone
// (with the line when this check is the one that finds it gone).
BOOLEAN KvrUsbPresent(EFI_USB_IO_PROTOCOL *UsbIo);
// Forgets every interface, as a freshly loaded image knows none.
VOID KvrUsbForgetAll();
// The descriptor getters of EFI_USB_IO_PROTOCOL through the gate.
EFI_STATUS KvrUsbGetDeviceDescriptor(EFI_USB_IO_PROTOCOL *UsbIo, EFI_USB_DEVICE_DESCRIPTOR *Out);
EFI_STATUS KvrUsbGetConfigDescriptor(EFI_USB_IO_PROTOCOL *UsbIo, EFI_USB_CONFIG_DESCRIPTOR *Out);
EFI_STATUS KvrUsbGetInterfaceDescriptor(EFI_USB_IO_PROTOCOL *UsbIo,
                                        EFI_USB_INTERFACE_DESCRIPTOR *Out);
// UsbControlTransfer through the gate. A transfer that ends in EFI_TIMEOUT has held the
// caller for its whole TimeoutMs: KvrUsbTimedOutMs adds them up.
EFI_STATUS KvrUsbControlTransfer(EFI_USB_IO_PROTOCOL *UsbIo, EFI_USB_DEVICE_REQUEST *Request,
                                 EFI_USB_DATA_DIRECTION Direction, UINT32 TimeoutMs, VOID *Data,
                                 UINTN DataLength, UINT32 *UsbStatus);
extern UINT32 KvrUsbTimedOutMs;


// ---------------------------------------------------------------- control transfers

// The one way the driver sends a control request, under every wrapper: the data stage's
// direction comes from bit 7 of RequestType, and a request with Length 0 goes out as
// EfiUsbNoData with no buffer (host controllers refuse a data stage of zero bytes). A data
// stage without a buffer is refused with nothing sent (EFI_INVALID_PARAMETER). Returns the
// transfer's status as the USB I/O protocol reports it, and its USB status in *UsbStatus.
EFI_STATUS UsbControlRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request,
                             UINT16 Value, UINT16 Index, VOID *Data, UINT16 Length,
                             UINT32 TimeoutMs, UINT32 *UsbStatus);

// A transfer's result with its USB status counted as a failure: EFI_DEVICE_ERROR when the
// USB status reports an error, whatever the status beside it; else the status itself.
static inline EFI_STATUS UsbRequestResult(EFI_STATUS Status, UINT32 UsbStatus) {
  return UsbStatus != EFI_USB_NOERROR ? EFI_DEVICE_ERROR : Status;
}

// ---------------------------------------------------------------- descriptors

// Timeout of the GET_DESCRIPTOR requests, in milliseconds.
#define KV_DESCRIPTOR_TIMEOUT_MS 3000

// Standard GET_DESCRIPTOR request to the device.
EFI_STATUS ReadUsbDescriptor(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Value, UINT16 Index, UINT16 Length,
                             VOID *Buffer, UINT32 *UsbStatus);

enum WALK_RESULT { WalkFound, WalkNotFound, WalkMalformed };

// The iterator of every descriptor walk, as Linux's find_next_descriptor: the descriptor at
// *Offset, whole inside the Limit bytes of the configuration (its header inside, its
// bLength at least the header and its end inside too), and, when it is of type Type, at
// least MinLength bytes long. WalkFound gives it in *Descriptor and moves *Offset past it,
// at least one header further on; WalkNotFound is the end of the configuration;
// WalkMalformed ends the walk.
WALK_RESULT NextDescriptor(const UINT8 *Config, UINTN Limit, UINTN *Offset, UINT8 Type,
                           UINTN MinLength, const UINT8 **Descriptor);

// ---------------------------------------------------------------- looks and waits

// Whether a look takes the device with this device descriptor (all zero when it cannot be
// read), for the caller's Context.
typedef BOOLEAN (*KV_USB_ACCEPT)(const EFI_USB_DEVICE_DESCRIPTOR *Device, const VOID *Context);

// One look at the USB handles: TRUE when Accept took any device. Only devices on Port (NULL:
// on any port) are looked at: of the others nothing is read but the device path. *Matched
// and *Device (either may be NULL) receive the USB I/O interface and the device descriptor
// of the last device taken, in handle order. LogCount: the line "Nunber of USB Handle is %d".
BOOLEAN KvrUsbLook(const KV_PORT_CHAIN *Port, KV_USB_ACCEPT Accept, const VOID *Context,
                   BOOLEAN LogCount, EFI_USB_IO_PROTOCOL **Matched,
                   EFI_USB_DEVICE_DESCRIPTOR *Device);
// Up to Tries looks as above, each after a stall of StallUs; TRUE at the first that takes a
// device.
BOOLEAN KvrUsbWait(const KV_PORT_CHAIN *Port, KV_USB_ACCEPT Accept, const VOID *Context,
                   UINT32 Tries, UINTN StallUs, EFI_USB_IO_PROTOCOL **Matched);
