// Camera enumeration: every USB I/O handle is probed, each camera recorded once per
// VID/PID with the way it can be updated.
#include "Discovery.h"
#include "driver/PrivateData.h"
#include "command/Command.h"

namespace {

// The first fault of the scan in progress (see NoteDiscoveryFault).
EFI_STATUS ScanFault = EFI_SUCCESS;

// The devices whose probe could not finish in the scan in progress (see NoteProbeFault);
// past KV_PROBE_FAULT_MAX of them, any VID/PID counts as possibly missed.
#define KV_PROBE_FAULT_MAX 8
UINT16 ProbeFaultVid[KV_PROBE_FAULT_MAX];
UINT16 ProbeFaultPid[KV_PROBE_FAULT_MAX];
UINTN ProbeFaults = 0;

// What the scan learnt about one handle that passed the probe.
struct FOUND_INTERFACE {
  EFI_USB_IO_PROTOCOL *UsbIo;
  EFI_DEVICE_PATH_PROTOCOL *DevicePath;
  UINT16 wVID;
  UINT16 wPID;
  UINT16 wFwVersion;
  BOOLEAN IsDfuInterface;
  UINT8 bInterfaceNumber;
  KV_PORT_CHAIN Port;
};

// Entries in use; a record is never read past its table, whatever wCount says.
UINT16 EntriesInUse(const FmpPrivateData *Private) {
  return Private->wCount < FMP_DEVICE_MAX ? Private->wCount : (UINT16)FMP_DEVICE_MAX;
}

BOOLEAN SameCamera(const FmpPrivateData *Private, UINTN Entry, const FOUND_INTERFACE *Found) {
  return Private->wVID[Entry] == Found->wVID && Private->wPID[Entry] == Found->wPID;
}

// A new entry needs a free slot; a camera beyond the table's capacity is left out.
BOOLEAN TableHasRoom(const FmpPrivateData *Private, const FOUND_INTERFACE *Found) {
  if (Private->wCount < FMP_DEVICE_MAX) {
    return TRUE;
  }
  DebugMessage("Device table is full (%d entries), VID_%04X PID_%04X ignored\n",
               (INT32)FMP_DEVICE_MAX, (UINT32)Found->wVID, (UINT32)Found->wPID);
  return FALSE;
}

// Appends an entry at wCount. The first entry also names the record's device path and the
// version of its image descriptor.
VOID AppendEntry(FmpPrivateData *Private, const FOUND_INTERFACE *Found, UINT16 Mode) {
  const UINT16 Entry = Private->wCount;
  Private->pUsbIo[Entry] = Found->UsbIo;
  Private->wVID[Entry] = Found->wVID;
  Private->wPID[Entry] = Found->wPID;
  Private->wFwVersion[Entry] = Found->wFwVersion;
  Private->wMode[Entry] = Mode;
  Private->PortChain[Entry] = Found->Port;
  if (Mode == UPDATE_MODE_DFU) {
    Private->wInterfaceNumber[Entry] = Found->bInterfaceNumber;
  }
  if (Entry == 0) {
    Private->pDevicePath = Found->DevicePath;
    if (Private->pDescriptor != NULL) {
      Private->pDescriptor[0].Version = Found->wFwVersion;
    }
  }
  Private->wCount = (UINT16)(Entry + 1);
}

VOID RecordDfuInterface(FmpPrivateData *Private, const FOUND_INTERFACE *Found) {
  const UINT16 Count = EntriesInUse(Private);
  if (Count == 0) {
    DebugMessage("DFU Korvane camera Final Find !!!!!!!!\n");
    AppendEntry(Private, Found, UPDATE_MODE_DFU);
    DebugMessage("DFU interface number = %d\n", (INT32)Found->bInterfaceNumber);
    return;
  }
  // The DFU interface takes over every entry of its camera.
  BOOLEAN TakenOver = FALSE;
  for (UINT16 Entry = 0; Entry < Count; Entry++) {
    if (!SameCamera(Private, Entry, Found)) {
      continue;
    }
    DebugMessage("Override DFU Korvane camera Final Find !!!!!!!!\n");
    Private->pUsbIo[Entry] = Found->UsbIo;
    Private->PortChain[Entry] = Found->Port;
    DebugMessage("USBIO = %x\r\n", (UINT32)(UINTN)Found->UsbIo);
    Private->wInterfaceNumber[Entry] = Found->bInterfaceNumber;
    Private->wMode[Entry] = UPDATE_MODE_DFU;
    DebugMessage("DFU interface number = %d\n", (INT32)Found->bInterfaceNumber);
    TakenOver = TRUE;
  }
  if (TakenOver || !TableHasRoom(Private, Found)) {
    return;
  }
  DebugMessage("DFU Korvane camera  Final Find !!!!!!!!\n");
  AppendEntry(Private, Found, UPDATE_MODE_DFU);
}

VOID RecordOtherInterface(FmpPrivateData *Private, const FOUND_INTERFACE *Found) {
  const UINT16 Count = EntriesInUse(Private);
  for (UINT16 Entry = 0; Entry < Count; Entry++) {
    if (SameCamera(Private, Entry, Found)) {
      return;  // another interface of a camera already recorded
    }
  }
  if (!TableHasRoom(Private, Found)) {
    return;
  }
  DebugMessage("Final Find !!!!!!!!\n");
  AppendEntry(Private, Found, UPDATE_MODE_RUNTIME);
}

// Probes one handle and records it when it belongs to a camera.
VOID ScanHandle(FmpPrivateData *Private, UINTN Index, EFI_HANDLE Handle) {
  DebugMessage("UsbHandleArray[%d] = %x\r\n", (INT32)Index, (UINT32)(UINTN)Handle);

  EFI_USB_IO_PROTOCOL *UsbIo = OpenUsbIoHandle(Handle, Index);
  if (UsbIo == NULL) {
    return;
  }
  EFI_DEVICE_PATH_PROTOCOL *DevicePath = NULL;
  EFI_STATUS Status =
      BootServices->HandleProtocol(Handle, &gEfiDevicePathProtocolGuid, (VOID **)&DevicePath);
  if (EFI_ERROR(Status)) {
    return;
  }
  if (!IsSupportedCamera(UsbIo, DevicePath)) {
    DebugMessage("DevicePath not support\n");
    return;
  }
  if (!KvrUsbPresent(UsbIo)) {
    // A camera that left the bus after its probe is missed by this scan, not absent.
    NoteDiscoveryFault(EFI_DEVICE_ERROR);
    return;
  }

  FOUND_INTERFACE Found;
  KvrSetMem(&Found, sizeof(Found), 0);
  Found.UsbIo = UsbIo;
  Found.DevicePath = DevicePath;
  (VOID) KvrPortChainOf(DevicePath, &Found.Port);  // not known: no DFU update (DFUFwDownload)
  EFI_USB_DEVICE_DESCRIPTOR DeviceDesc;
  if (!EFI_ERROR(KvrUsbGetDeviceDescriptor(UsbIo, &DeviceDesc))) {
    Found.wVID = DeviceDesc.IdVendor;
    Found.wPID = DeviceDesc.IdProduct;
    Found.wFwVersion = DeviceDesc.BcdDevice;
  }

  // A DFU interface is the configuration's last interface by number, of class 0xFE. An
  // interface whose descriptors cannot be read counts as an ordinary one.
  EFI_USB_CONFIG_DESCRIPTOR ConfigDesc;
  EFI_USB_INTERFACE_DESCRIPTOR InterfaceDesc;
  if (!EFI_ERROR(KvrUsbGetConfigDescriptor(UsbIo, &ConfigDesc)) &&
      !EFI_ERROR(KvrUsbGetInterfaceDescriptor(UsbIo, &InterfaceDesc))) {
    Found.bInterfaceNumber = InterfaceDesc.InterfaceNumber;
    Found.IsDfuInterface = ConfigDesc.NumInterfaces == InterfaceDesc.InterfaceNumber + 1 &&
                                   InterfaceDesc.InterfaceClass == USB_CLASS_APPLICATION_SPECIFIC
                               ? TRUE
                               : FALSE;
  }

  if (Found.IsDfuInterface) {
    RecordDfuInterface(Private, &Found);
  } else {
    RecordOtherInterface(Private, &Found);
  }
}

}  // namespace

BOOLEAN IsDfuCapableChip(UINT16 ChipVid, UINT16 ChipId) {
  if (ChipVid != DFU_CHIP_VENDOR_ID) {
    return FALSE;
  }
  const UINT16 Offset = (UINT16)(ChipId - DFU_CHIP_ID_BASE);
  if (Offset >= DFU_CHIP_ID_COUNT) {
    return FALSE;
  }
  return ((DFU_CHIP_ID_MASK >> Offset) & 1) != 0 ? TRUE : FALSE;
}

VOID NoteDiscoveryFault(EFI_STATUS Status) {
  if (EFI_ERROR(Status) && !EFI_ERROR(ScanFault)) {
    ScanFault = Status;
  }
}

VOID NoteProbeFault(UINT16 Vid, UINT16 Pid) {
  if (ProbeFaults < KV_PROBE_FAULT_MAX) {
    ProbeFaultVid[ProbeFaults] = Vid;
    ProbeFaultPid[ProbeFaults] = Pid;
  }
  if (ProbeFaults <= KV_PROBE_FAULT_MAX) {
    ProbeFaults++;
  }
}

BOOLEAN ProbeFaultHid(UINT16 Vid, UINT16 Pid) {
  if (ProbeFaults > KV_PROBE_FAULT_MAX) {
    return TRUE;
  }
  for (UINTN Index = 0; Index < ProbeFaults; Index++) {
    if (ProbeFaultVid[Index] == Vid && ProbeFaultPid[Index] == Pid) {
      return TRUE;
    }
  }
  return FALSE;
}

EFI_STATUS GetUsbIoByLocateHandleBuffer() {
  DebugMessage("GetUsbIoByLocateHandleBuffer() =>\r\n");
  ScanFault = EFI_SUCCESS;
  ProbeFaults = 0;
  FmpPrivateData *Private = pKVFmpPrivateData;
  if (Private == NULL) {
    DebugMessage("No private data record to fill\r\n");
    DebugMessage("GetUsbIoByLocateHandleBuffer() <=\r\n");
    return EFI_SUCCESS;
  }

  EFI_HANDLE *HandleBuffer = NULL;
  if (Private->pUsbIo[0] == NULL) {
    DebugMessage("Need to Re-scan Device\r\n");
    UINTN HandleCount = 0;
    const EFI_STATUS Status = LocateUsbIoHandles(&HandleCount, &HandleBuffer, TRUE);
    // EFI_NOT_FOUND: no USB device at all. Any other error may hide the camera.
    if (Status != EFI_NOT_FOUND) {
      NoteDiscoveryFault(Status);
    }
    for (UINTN Index = 0; Index < HandleCount; Index++) {
      ScanHandle(Private, Index, HandleBuffer[Index]);
    }
  }

  // Runtime cameras on a DFU-capable chip can be updated by DFU.
  const UINT16 Count = EntriesInUse(Private);
  for (UINT16 Entry = 0; Entry < Count; Entry++) {
    if (Private->wMode[Entry] != UPDATE_MODE_RUNTIME || Private->pUsbIo[Entry] == NULL) {
      continue;
    }
    DebugMessage("Try to get Chip VID/PID\n");
    UINT16 ChipVid = 0;
    UINT16 ChipId = 0;
    (VOID) GetChipInfo_VendorCmd(Private->pUsbIo[Entry], &ChipVid, &ChipId);
    if (IsDfuCapableChip(ChipVid, ChipId)) {
      DebugMessage("Chip ID is %x, support DFU\n", (UINT32)ChipId);
      Private->wMode[Entry] = UPDATE_MODE_DFU_CAPABLE;
    }
  }

  if (HandleBuffer != NULL) {
    FreePool(HandleBuffer);
  }
  DebugMessage("GetUsbIoByLocateHandleBuffer() <=\r\n");
  return ScanFault;
}
