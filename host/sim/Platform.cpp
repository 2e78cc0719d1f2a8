// The simulated platform: the system table, the boot and runtime service tables with
// their EFIAPI entries, and the platform's construction. The services themselves live
// by concern in Pool.cpp, Handles.cpp, Variables.cpp, Hobs.cpp and Clock.cpp.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Platform.h"
#include "sim/Log.h"
#include "sim/Sim.h"
#include "sim/Trap.h"

namespace sim {
namespace {

Platform *gCurrent = nullptr;

constexpr uint32_t kUefiRevision = (2U << 16) | 100U;  // UEFI 2.10
constexpr uint32_t kFirmwareRevision = 0x00010000;

// CRC-32 (IEEE 802.3, reflected), eight bytes a step: every platform seals its three service
// tables, and a fuzz run builds a platform per input.
uint32_t Crc32(const void *data, size_t length) {
  using Tables = std::array<std::array<uint32_t, 256>, 8>;
  static const Tables tables = [] {
    Tables t{};
    for (uint32_t n = 0; n < 256; n++) {
      uint32_t c = n;
      for (int bit = 0; bit < 8; bit++) {
        c = (c >> 1) ^ (0xEDB88320U & (0U - (c & 1U)));
      }
      t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; n++) {
      for (size_t k = 1; k < t.size(); k++) {
        t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
      }
    }
    return t;
  }();
  const auto *p = static_cast<const uint8_t *>(data);
  uint32_t crc = 0xFFFFFFFFU;
  for (; length >= 8; p += 8, length -= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);  // read little-endian: the x86-64 host is
    word ^= crc;
    crc = tables[7][word & 0xFF] ^ tables[6][(word >> 8) & 0xFF] ^
          tables[5][(word >> 16) & 0xFF] ^ tables[4][(word >> 24) & 0xFF] ^
          tables[3][(word >> 32) & 0xFF] ^ tables[2][(word >> 40) & 0xFF] ^
          tables[1][(word >> 48) & 0xFF] ^ tables[0][word >> 56];
  }
  for (; length > 0; p++, length--) {
    crc = (crc >> 8) ^ tables[0][(crc ^ *p) & 0xFF];
  }
  return ~crc;
}

// Fills the header of a service table, its CRC32 computed with the CRC field zero.
template <typename Table>
void SealTable(Table &table, uint64_t signature) {
  table.Hdr.Signature = signature;
  table.Hdr.Revision = kUefiRevision;
  table.Hdr.HeaderSize = sizeof(Table);
  table.Hdr.CRC32 = 0;
  table.Hdr.Reserved = 0;
  table.Hdr.CRC32 = Crc32(&table, sizeof(Table));
}

}  // namespace

Platform *Current() { return gCurrent; }

Platform &Live() {
  if (gCurrent == nullptr) {
    std::fputs("sim: a UEFI service was called with no sim::Platform alive\n", stderr);
    std::abort();
  }
  return *gCurrent;
}

bool SameGuid(const EFI_GUID &a, const EFI_GUID &b) {
  // Two 8-byte loads a side rather than memcmp: every protocol lookup compares GUIDs, and a
  // fuzzer's memcmp hook would take each differing pair for input it could learn from.
  uint64_t wa[2], wb[2];
  static_assert(sizeof wa == sizeof(EFI_GUID));
  std::memcpy(wa, &a, sizeof wa);
  std::memcpy(wb, &b, sizeof wb);
  return wa[0] == wb[0] && wa[1] == wb[1];
}

std::string PointerText(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

// ---------------------------------------------------------------- EFIAPI entries

struct Services {
  static EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
    return Live().AllocatePoolService(type, size, buffer);
  }
  static EFI_STATUS EFIAPI FreePool(VOID *buffer) { return Live().FreePoolService(buffer); }
  static EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE *handle, EFI_GUID *protocol,
                                                    UINT32 interfaceType, VOID *interface) {
    return Live().InstallProtocolInterfaceService(handle, protocol, interfaceType, interface);
  }
  static EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE handle, EFI_GUID *protocol,
                                          VOID **interface) {
    return Live().HandleProtocolService(handle, protocol, interface);
  }
  static EFI_STATUS EFIAPI Stall(UINTN us) { return Live().StallService(us); }
  static EFI_STATUS EFIAPI ConnectController(EFI_HANDLE controller, EFI_HANDLE *,
                                             VOID *, BOOLEAN) {
    return Live().ConnectControllerService(controller);
  }
  static EFI_STATUS EFIAPI OpenProtocol(EFI_HANDLE handle, EFI_GUID *protocol,
                                        VOID **interface, EFI_HANDLE agent,
                                        EFI_HANDLE controller, UINT32 attributes) {
    return Live().OpenProtocolService(handle, protocol, interface, agent, controller,
                                      attributes);
  }
  static EFI_STATUS EFIAPI CloseProtocol(EFI_HANDLE handle, EFI_GUID *protocol,
                                         EFI_HANDLE agent, EFI_HANDLE controller) {
    return Live().CloseProtocolService(handle, protocol, agent, controller);
  }
  static EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE type, EFI_GUID *protocol,
                                              VOID *searchKey, UINTN *count,
                                              EFI_HANDLE **buffer) {
    return Live().LocateHandleBufferService(type, protocol, searchKey, count, buffer);
  }
  static EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *protocol, VOID *registration,
                                          VOID **interface) {
    return Live().LocateProtocolService(protocol, registration, interface);
  }
  static EFI_STATUS EFIAPI GetVariable(CHAR16 *name, EFI_GUID *guid, UINT32 *attributes,
                                       UINTN *dataSize, VOID *data) {
    return Live().GetVariableService(name, guid, attributes, dataSize, data);
  }
  static EFI_STATUS EFIAPI SetVariable(CHAR16 *name, EFI_GUID *guid, UINT32 attributes,
                                       UINTN dataSize, VOID *data) {
    return Live().SetVariableService(name, guid, attributes, dataSize, data);
  }
  static EFI_TPL EFIAPI RaiseTPL(EFI_TPL tpl) { return Live().RaiseTplService(tpl); }
  static VOID EFIAPI RestoreTPL(EFI_TPL tpl) { Live().RestoreTplService(tpl); }
  static EFI_STATUS EFIAPI CalculateCrc32(VOID *data, UINTN dataSize, UINT32 *crc32) {
    if (data == nullptr || dataSize == 0 || crc32 == nullptr) {
      return EFI_INVALID_PARAMETER;  // as EDK II's CoreCalculateCrc32
    }
    *crc32 = Crc32(data, dataSize);
    return EFI_SUCCESS;
  }
};

// ---------------------------------------------------------------- construction

Platform::Platform() {
  if (gCurrent != nullptr) {
    throw std::logic_error("only one sim::Platform may be alive at a time");
  }

  EFI_BOOT_SERVICES &bs = bootServices_;
  bs.RaiseTPL = &Services::RaiseTPL;
  bs.RestoreTPL = &Services::RestoreTPL;
  SIM_TRAP(bs, "boot service", AllocatePages);
  SIM_TRAP(bs, "boot service", FreePages);
  SIM_TRAP(bs, "boot service", GetMemoryMap);
  bs.AllocatePool = &Services::AllocatePool;
  bs.FreePool = &Services::FreePool;
  SIM_TRAP(bs, "boot service", CreateEvent);
  SIM_TRAP(bs, "boot service", SetTimer);
  SIM_TRAP(bs, "boot service", WaitForEvent);
  SIM_TRAP(bs, "boot service", SignalEvent);
  SIM_TRAP(bs, "boot service", CloseEvent);
  SIM_TRAP(bs, "boot service", CheckEvent);
  bs.InstallProtocolInterface = &Services::InstallProtocolInterface;
  SIM_TRAP(bs, "boot service", ReinstallProtocolInterface);
  SIM_TRAP(bs, "boot service", UninstallProtocolInterface);
  bs.HandleProtocol = &Services::HandleProtocol;
  SIM_TRAP(bs, "boot service", Reserved);
  SIM_TRAP(bs, "boot service", RegisterProtocolNotify);
  SIM_TRAP(bs, "boot service", LocateHandle);
  SIM_TRAP(bs, "boot service", LocateDevicePath);
  SIM_TRAP(bs, "boot service", InstallConfigurationTable);
  SIM_TRAP(bs, "boot service", LoadImage);
  SIM_TRAP(bs, "boot service", StartImage);
  SIM_TRAP(bs, "boot service", Exit);
  SIM_TRAP(bs, "boot service", UnloadImage);
  SIM_TRAP(bs, "boot service", ExitBootServices);
  SIM_TRAP(bs, "boot service", GetNextMonotonicCount);
  bs.Stall = &Services::Stall;
  SIM_TRAP(bs, "boot service", SetWatchdogTimer);
  bs.ConnectController = &Services::ConnectController;
  SIM_TRAP(bs, "boot service", DisconnectController);
  bs.OpenProtocol = &Services::OpenProtocol;
  bs.CloseProtocol = &Services::CloseProtocol;
  SIM_TRAP(bs, "boot service", OpenProtocolInformation);
  SIM_TRAP(bs, "boot service", ProtocolsPerHandle);
  bs.LocateHandleBuffer = &Services::LocateHandleBuffer;
  bs.LocateProtocol = &Services::LocateProtocol;
  SIM_TRAP(bs, "boot service", InstallMultipleProtocolInterfaces);
  SIM_TRAP(bs, "boot service", UninstallMultipleProtocolInterfaces);
  bs.CalculateCrc32 = &Services::CalculateCrc32;
  SIM_TRAP(bs, "boot service", CopyMem);
  SIM_TRAP(bs, "boot service", SetMem);
  SIM_TRAP(bs, "boot service", CreateEventEx);
  SealTable(bs, EFI_BOOT_SERVICES_SIGNATURE);

  EFI_RUNTIME_SERVICES &rt = runtimeServices_;
  SIM_TRAP(rt, "runtime service", GetTime);
  SIM_TRAP(rt, "runtime service", SetTime);
  SIM_TRAP(rt, "runtime service", GetWakeupTime);
  SIM_TRAP(rt, "runtime service", SetWakeupTime);
  SIM_TRAP(rt, "runtime service", SetVirtualAddressMap);
  SIM_TRAP(rt, "runtime service", ConvertPointer);
  rt.GetVariable = &Services::GetVariable;
  SIM_TRAP(rt, "runtime service", GetNextVariableName);
  rt.SetVariable = &Services::SetVariable;
  SIM_TRAP(rt, "runtime service", GetNextHighMonotonicCount);
  SIM_TRAP(rt, "runtime service", ResetSystem);
  SIM_TRAP(rt, "runtime service", UpdateCapsule);
  SIM_TRAP(rt, "runtime service", QueryCapsuleCapabilities);
  SIM_TRAP(rt, "runtime service", QueryVariableInfo);
  SealTable(rt, EFI_RUNTIME_SERVICES_SIGNATURE);

  // The host build logs through its own sink; a console write is a mistake it would make
  // only in firmware, so every console slot traps.
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL &con = console_;
  SIM_TRAP(con, "console output service", Reset);
  SIM_TRAP(con, "console output service", OutputString);
  SIM_TRAP(con, "console output service", TestString);
  SIM_TRAP(con, "console output service", QueryMode);
  SIM_TRAP(con, "console output service", SetMode);
  SIM_TRAP(con, "console output service", SetAttribute);
  SIM_TRAP(con, "console output service", ClearScreen);
  SIM_TRAP(con, "console output service", SetCursorPosition);
  SIM_TRAP(con, "console output service", EnableCursor);

  systemTable_.FirmwareRevision = kFirmwareRevision;
  systemTable_.ConOut = &console_;
  systemTable_.StdErr = &console_;
  systemTable_.BootServices = &bootServices_;
  systemTable_.RuntimeServices = &runtimeServices_;
  firmwareVendor_ = u"EDK II";
  RefreshSystemTable();

  gCurrent = this;
  usb_.reset(new UsbBus(*this));
  imageHandle_ = CreateHandle();
  ClearCapturedLog();
}

Platform::~Platform() {
  usb_.reset();
  for (const auto &[pointer, block] : blocks_) {
    std::free(const_cast<void *>(pointer));
  }
  ::ImageHandle = NULL;
  ::SystemTable = NULL;
  ::BootServices = NULL;
  ::RuntimeServices = NULL;
  gCurrent = nullptr;
}

void Platform::InstallDriverGlobals() {
  ::ImageHandle = imageHandle_;
  ::SystemTable = &systemTable_;
  ::BootServices = &bootServices_;
  ::RuntimeServices = &runtimeServices_;
}

void Platform::SetFirmwareVendor(std::u16string_view vendor) {
  firmwareVendor_ = vendor;
  RefreshSystemTable();
}

void Platform::RefreshSystemTable() {
  systemTable_.FirmwareVendor = firmwareVendor_.data();
  systemTable_.NumberOfTableEntries = configurationTable_.size();
  systemTable_.ConfigurationTable =
      configurationTable_.empty() ? nullptr : configurationTable_.data();
  SealTable(systemTable_, EFI_SYSTEM_TABLE_SIGNATURE);
}

}  // namespace sim
