// The simulated platform: system table, boot and runtime services, pool, handle database,
// variables, configuration table and HOB list, virtual clock.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/Platform.h"
#include "sim/Log.h"
#include "sim/Sim.h"
#include "sim/Trap.h"

namespace sim {
namespace {

Platform *gCurrent = nullptr;

constexpr uint32_t kUefiRevision = (2U << 16) | 100U;  // UEFI 2.10
constexpr uint32_t kNativeInterface = 0;                 // EFI_NATIVE_INTERFACE
constexpr uint8_t kAllocatedFill = 0xAF;
constexpr uint8_t kFreedFill = 0xDF;
// Longest variable name GetVariable reads, in characters, before giving up on finding its NUL.
constexpr size_t kMaxVariableNameChars = 1024;
constexpr uint32_t kHandoffTableVersion = 0x0009;   // EFI_HOB_HANDOFF_TABLE_VERSION
constexpr uint32_t kBootOnFlashUpdate = 0x12;       // BOOT_ON_FLASH_UPDATE
constexpr uint32_t kFirmwareRevision = 0x00010000;
constexpr EFI_GUID kHobListGuid = EFI_HOB_LIST_GUID;

uint32_t Crc32(const void *data, size_t length) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; n++) {
      uint32_t c = n;
      for (int bit = 0; bit < 8; bit++) {
        c = (c >> 1) ^ (0xEDB88320U & (0U - (c & 1U)));
      }
      t[n] = c;
    }
    return t;
  }();
  const auto *p = static_cast<const uint8_t *>(data);
  uint32_t crc = 0xFFFFFFFFU;
  for (size_t i = 0; i < length; i++) {
    crc = (crc >> 8) ^ table[(crc ^ p[i]) & 0xFF];
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

std::string Hex(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

// UEFI 2.10 memory types a pool may come from, as EDK II checks them: not conventional,
// persistent (14) or unaccepted (15) memory, nor a value between the last type (16) and the
// OEM range.
bool ValidPoolType(EFI_MEMORY_TYPE type) {
  const uint32_t value = type;
  if (value >= 16) {
    return value >= 0x70000000U;
  }
  return value != EfiConventionalMemory && value != 14 && value != 15;
}

bool ValidOpenAttributes(uint32_t attributes) {
  switch (attributes) {
    case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL:
    case EFI_OPEN_PROTOCOL_GET_PROTOCOL:
    case EFI_OPEN_PROTOCOL_TEST_PROTOCOL:
    case EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER:
    case EFI_OPEN_PROTOCOL_BY_DRIVER:
    case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
    case EFI_OPEN_PROTOCOL_EXCLUSIVE:
      return true;
    default:
      return false;
  }
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
  return std::memcmp(&a, &b, sizeof(EFI_GUID)) == 0;
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
};

// ---------------------------------------------------------------- construction

Platform::Platform() {
  if (gCurrent != nullptr) {
    throw std::logic_error("only one sim::Platform may be alive at a time");
  }

  EFI_BOOT_SERVICES &bs = bootServices_;
  SIM_TRAP(bs, "boot service", RaiseTPL);
  SIM_TRAP(bs, "boot service", RestoreTPL);
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
  SIM_TRAP(bs, "boot service", CalculateCrc32);
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
  SIM_TRAP(rt, "runtime service", SetVariable);
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

// ---------------------------------------------------------------- pool

void Platform::FailAllocation(size_t nth) {
  if (nth == 0) {
    throw std::invalid_argument("FailAllocation counts from 1 (the next call)");
  }
  failingAllocations_.insert(allocationCalls_ + nth);
}

Platform::PoolStats Platform::Pool() const {
  return PoolStats{blocks_.size(), outstandingBytes_, peakBytes_, allocationCalls_};
}

void Platform::AllowOutstanding(const void *p) {
  const auto it = blocks_.find(p);
  if (it == blocks_.end()) {
    throw std::invalid_argument("AllowOutstanding: " + Hex(p) + " is not a live pool block");
  }
  it->second.allowed = true;
}

std::vector<std::string> Platform::Leaks() const {
  std::vector<const std::pair<const void *const, Block> *> leaked;
  for (const auto &entry : blocks_) {
    if (!entry.second.allowed) {
      leaked.push_back(&entry);
    }
  }
  std::sort(leaked.begin(), leaked.end(),
            [](auto *a, auto *b) { return a->second.sequence < b->second.sequence; });
  std::vector<std::string> lines;
  for (const auto *entry : leaked) {
    lines.push_back("pool block of " + std::to_string(entry->second.size) +
                    " bytes from allocation #" + std::to_string(entry->second.sequence) +
                    " at " + Hex(entry->first) + " was never freed");
  }
  return lines;
}

EFI_STATUS Platform::AllocatePoolService(EFI_MEMORY_TYPE type, UINTN size, void **buffer) {
  const size_t call = ++allocationCalls_;
  allocationSizes_.push_back(size);
  const bool injected = failingAllocations_.erase(call) != 0;
  if (buffer == nullptr || !ValidPoolType(type)) {
    return EFI_INVALID_PARAMETER;
  }
  *buffer = nullptr;
  if (injected || size > kPoolCapacityBytes - outstandingBytes_) {
    return EFI_OUT_OF_RESOURCES;
  }
  void *block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  std::memset(block, kAllocatedFill, size);
  blocks_.emplace(block, Block{size, call, false});
  outstandingBytes_ += size;
  peakBytes_ = std::max(peakBytes_, outstandingBytes_);
  *buffer = block;
  return EFI_SUCCESS;
}

EFI_STATUS Platform::FreePoolService(void *buffer) {
  const auto it = blocks_.find(buffer);
  if (it == blocks_.end()) {
    Violation(buffer == nullptr
                  ? std::string("FreePool(NULL)")
                  : "FreePool of " + Hex(buffer) +
                        ", which is not a live pool block (never allocated or already freed)");
    return EFI_INVALID_PARAMETER;
  }
  std::memset(buffer, kFreedFill, it->second.size);
  outstandingBytes_ -= it->second.size;
  blocks_.erase(it);
  std::free(buffer);
  return EFI_SUCCESS;
}

// ---------------------------------------------------------------- handle database

Platform::Handle &Platform::HandleAt(EFI_HANDLE handle) {
  return const_cast<Handle &>(std::as_const(*this).HandleAt(handle));
}

const Platform::Handle &Platform::HandleAt(EFI_HANDLE handle) const {
  if (!IsHandle(handle)) {
    throw std::invalid_argument(Hex(handle) + " is not a handle");
  }
  return *static_cast<const Handle *>(handle);
}

Platform::ProtocolEntry *Platform::FindProtocol(Handle &handle, const EFI_GUID &guid) {
  for (ProtocolEntry &entry : handle.protocols) {
    if (SameGuid(entry.guid, guid)) {
      return &entry;
    }
  }
  return nullptr;
}

EFI_HANDLE Platform::CreateHandle() {
  handleOrder_.push_back(std::make_unique<Handle>());
  Handle *handle = handleOrder_.back().get();
  handles_.insert(handle);
  return handle;
}

void Platform::InstallProtocol(EFI_HANDLE handle, const EFI_GUID &protocol, void *interface) {
  Handle &h = HandleAt(handle);
  if (FindProtocol(h, protocol) != nullptr) {
    throw std::invalid_argument("InstallProtocol: the protocol is already on the handle");
  }
  h.protocols.push_back(ProtocolEntry{protocol, interface, {}});
}

void Platform::UninstallProtocol(EFI_HANDLE handle, const EFI_GUID &protocol) {
  Handle &h = HandleAt(handle);
  const auto it = std::find_if(h.protocols.begin(), h.protocols.end(),
                               [&](const ProtocolEntry &e) { return SameGuid(e.guid, protocol); });
  if (it == h.protocols.end()) {
    throw std::invalid_argument("UninstallProtocol: the protocol is not on the handle");
  }
  h.protocols.erase(it);
}

void Platform::DestroyHandle(EFI_HANDLE handle) {
  HandleAt(handle);
  const auto it = std::find_if(handleOrder_.begin(), handleOrder_.end(),
                               [&](const auto &h) { return h.get() == handle; });
  (*it)->protocols.clear();
  destroyedHandles_.push_back(std::move(*it));
  handleOrder_.erase(it);
  handles_.erase(handle);
}

size_t Platform::OpenEntries(EFI_HANDLE handle, const EFI_GUID &protocol) const {
  const Handle &h = HandleAt(handle);
  for (const ProtocolEntry &entry : h.protocols) {
    if (SameGuid(entry.guid, protocol)) {
      return entry.opens.size();
    }
  }
  return 0;
}

EFI_STATUS Platform::HandleProtocolService(EFI_HANDLE handle, const EFI_GUID *protocol,
                                           void **interface) {
  if (protocol == nullptr || interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *interface = nullptr;
  if (!IsHandle(handle)) {
    return EFI_INVALID_PARAMETER;
  }
  const ProtocolEntry *entry = FindProtocol(HandleAt(handle), *protocol);
  if (entry == nullptr) {
    return EFI_UNSUPPORTED;
  }
  *interface = entry->interface;
  return EFI_SUCCESS;
}

EFI_STATUS Platform::LocateHandleBufferService(EFI_LOCATE_SEARCH_TYPE type,
                                               const EFI_GUID *protocol, void *searchKey,
                                               UINTN *count, EFI_HANDLE **buffer) {
  if (count == nullptr || buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *count = 0;
  *buffer = nullptr;
  std::vector<EFI_HANDLE> found;
  switch (type) {
    case AllHandles:
      for (const auto &handle : handleOrder_) {
        found.push_back(handle.get());
      }
      break;
    case ByProtocol:
      if (protocol == nullptr) {
        return EFI_INVALID_PARAMETER;
      }
      for (const auto &handle : handleOrder_) {
        if (FindProtocol(*handle, *protocol) != nullptr) {
          found.push_back(handle.get());
        }
      }
      break;
    case ByRegisterNotify:
      // No RegisterProtocolNotify here, so no search key can be a registration.
      Violation("LocateHandleBuffer ByRegisterNotify with search key " + Hex(searchKey) +
                ": protocol notifications are not simulated");
      return EFI_INVALID_PARAMETER;
    default:
      return EFI_INVALID_PARAMETER;
  }
  if (found.empty()) {
    return EFI_NOT_FOUND;
  }
  void *block = nullptr;
  if (EFI_ERROR(AllocatePoolService(EfiBootServicesData, found.size() * sizeof(EFI_HANDLE),
                                    &block))) {
    return EFI_OUT_OF_RESOURCES;
  }
  std::memcpy(block, found.data(), found.size() * sizeof(EFI_HANDLE));
  *buffer = static_cast<EFI_HANDLE *>(block);
  *count = found.size();
  return EFI_SUCCESS;
}

EFI_STATUS Platform::LocateProtocolService(const EFI_GUID *protocol, void *registration,
                                           void **interface) {
  if (protocol == nullptr || interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *interface = nullptr;
  if (registration != nullptr) {
    Violation("LocateProtocol with registration " + Hex(registration) +
              ": protocol notifications are not simulated");
    return EFI_NOT_FOUND;
  }
  for (const auto &handle : handleOrder_) {
    if (const ProtocolEntry *entry = FindProtocol(*handle, *protocol)) {
      *interface = entry->interface;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS Platform::InstallProtocolInterfaceService(EFI_HANDLE *handle,
                                                     const EFI_GUID *protocol,
                                                     uint32_t interfaceType, void *interface) {
  if (handle == nullptr || protocol == nullptr || interfaceType != kNativeInterface) {
    return EFI_INVALID_PARAMETER;
  }
  if (*handle != nullptr) {
    if (!IsHandle(*handle) || FindProtocol(HandleAt(*handle), *protocol) != nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    InstallProtocol(*handle, *protocol, interface);
    return EFI_SUCCESS;
  }
  EFI_HANDLE created = CreateHandle();
  InstallProtocol(created, *protocol, interface);
  *handle = created;
  return EFI_SUCCESS;
}

// As EDK II's CoreOpenProtocol.
EFI_STATUS Platform::OpenProtocolService(EFI_HANDLE handle, const EFI_GUID *protocol,
                                         void **interface, EFI_HANDLE agent,
                                         EFI_HANDLE controller, uint32_t attributes) {
  if (protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const bool test = attributes == EFI_OPEN_PROTOCOL_TEST_PROTOCOL;
  if (!test) {
    if (interface == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    *interface = nullptr;
  }
  if (!IsHandle(handle) || !ValidOpenAttributes(attributes)) {
    return EFI_INVALID_PARAMETER;
  }
  const bool needsAgent = (attributes & (EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER |
                                         EFI_OPEN_PROTOCOL_BY_DRIVER |
                                         EFI_OPEN_PROTOCOL_EXCLUSIVE)) != 0;
  const bool needsController = (attributes & (EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER |
                                              EFI_OPEN_PROTOCOL_BY_DRIVER)) != 0;
  if ((needsAgent && !IsHandle(agent)) || (needsController && !IsHandle(controller))) {
    return EFI_INVALID_PARAMETER;
  }
  if (attributes == EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER && handle == controller) {
    return EFI_INVALID_PARAMETER;
  }
  ProtocolEntry *entry = FindProtocol(HandleAt(handle), *protocol);
  if (entry == nullptr) {
    return EFI_UNSUPPORTED;
  }

  bool byDriver = false;
  bool exclusive = false;
  for (OpenEntry &open : entry->opens) {
    const bool exact = open.agent == agent && open.attributes == attributes &&
                       open.controller == controller;
    if ((open.attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
      byDriver = true;
      if (exact) {
        if (!test) {
          *interface = entry->interface;
        }
        return EFI_ALREADY_STARTED;
      }
    }
    if ((open.attributes & EFI_OPEN_PROTOCOL_EXCLUSIVE) != 0) {
      exclusive = true;
    } else if (exact) {
      open.count++;
      if (!test) {
        *interface = entry->interface;
      }
      return EFI_SUCCESS;
    }
  }
  // No driver in the simulation can be asked to let go of an open by driver.
  if ((attributes & (EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE)) != 0 &&
      (exclusive || byDriver)) {
    return EFI_ACCESS_DENIED;
  }
  if (agent != nullptr) {
    entry->opens.push_back(OpenEntry{agent, controller, attributes, 1});
  }
  if (!test) {
    *interface = entry->interface;
  }
  return EFI_SUCCESS;
}

// As EDK II's CoreCloseProtocol.
EFI_STATUS Platform::CloseProtocolService(EFI_HANDLE handle, const EFI_GUID *protocol,
                                          EFI_HANDLE agent, EFI_HANDLE controller) {
  if (!IsHandle(handle) || !IsHandle(agent) ||
      (controller != nullptr && !IsHandle(controller)) || protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ProtocolEntry *entry = FindProtocol(HandleAt(handle), *protocol);
  if (entry == nullptr) {
    return EFI_NOT_FOUND;
  }
  const size_t before = entry->opens.size();
  std::erase_if(entry->opens, [&](const OpenEntry &open) {
    return open.agent == agent && open.controller == controller;
  });
  return entry->opens.size() == before ? EFI_NOT_FOUND : EFI_SUCCESS;
}

EFI_STATUS Platform::ConnectControllerService(EFI_HANDLE controller) {
  connectControllerCalls_++;
  return IsHandle(controller) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

// ---------------------------------------------------------------- variables

Platform::VariableKey Platform::KeyOf(const std::u16string &name, const EFI_GUID &guid) {
  return {name, std::string(reinterpret_cast<const char *>(&guid), sizeof guid)};
}

void Platform::SetVariable(std::u16string name, const EFI_GUID &guid, uint32_t attributes,
                           std::vector<uint8_t> data) {
  variables_[KeyOf(name, guid)] = Variable{attributes, std::move(data)};
}

void Platform::DeleteVariable(const std::u16string &name, const EFI_GUID &guid) {
  variables_.erase(KeyOf(name, guid));
}

void Platform::FailGetVariable(std::u16string name, EFI_STATUS status) {
  variableFailures_[std::move(name)] = status;
}

size_t Platform::GetVariableCalls(const std::u16string &name) const {
  const auto it = variableReads_.find(name);
  return it == variableReads_.end() ? 0 : it->second;
}

// As EDK II's variable driver.
EFI_STATUS Platform::GetVariableService(const CHAR16 *name, const EFI_GUID *guid,
                                        uint32_t *attributes, UINTN *dataSize, void *data) {
  if (name == nullptr || guid == nullptr || dataSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  size_t length = 0;
  while (length < kMaxVariableNameChars && name[length] != 0) {
    length++;
  }
  if (length == kMaxVariableNameChars) {
    Violation("GetVariable with a name of more than " + std::to_string(kMaxVariableNameChars) +
              " characters, or one without its NUL");
    return EFI_INVALID_PARAMETER;
  }
  const std::u16string key(name, length);
  variableReads_[key]++;
  if (const auto failure = variableFailures_.find(key); failure != variableFailures_.end()) {
    return failure->second;
  }
  if (length == 0) {
    return EFI_NOT_FOUND;
  }
  const auto it = variables_.find(KeyOf(key, *guid));
  if (it == variables_.end()) {
    return EFI_NOT_FOUND;
  }
  const Variable &variable = it->second;
  EFI_STATUS status;
  if (*dataSize >= variable.data.size()) {
    if (data == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    std::memcpy(data, variable.data.data(), variable.data.size());
    status = EFI_SUCCESS;
  } else {
    status = EFI_BUFFER_TOO_SMALL;
  }
  *dataSize = variable.data.size();
  if (attributes != nullptr) {
    *attributes = variable.attributes;
  }
  return status;
}

// ---------------------------------------------------------------- configuration table, HOBs

void Platform::AddConfigurationTable(const EFI_GUID &guid, void *table) {
  for (EFI_CONFIGURATION_TABLE &entry : configurationTable_) {
    if (SameGuid(entry.VendorGuid, guid)) {
      entry.VendorTable = table;
      RefreshSystemTable();
      return;
    }
  }
  configurationTable_.push_back(EFI_CONFIGURATION_TABLE{guid, table});
  RefreshSystemTable();
}

namespace {
constexpr size_t kHobHeaderLength = sizeof(EFI_HOB_GENERIC_HEADER);
size_t PaddedTo8(size_t n) { return (n + 7) & ~size_t{7}; }
}  // namespace

HobListBuilder &HobListBuilder::Capsule(uint64_t base, uint64_t length, uint16_t type) {
  std::vector<uint8_t> body(16);
  std::memcpy(body.data(), &base, 8);
  std::memcpy(body.data() + 8, &length, 8);
  return Raw(type, std::move(body));
}

HobListBuilder &HobListBuilder::Raw(uint16_t type, std::vector<uint8_t> body,
                                    std::optional<uint16_t> hobLengthOverride) {
  if (kHobHeaderLength + PaddedTo8(body.size()) > 0xFFFF) {
    throw std::length_error("a HOB holds at most 65535 bytes");
  }
  hobs_.push_back(Hob{type, std::move(body), hobLengthOverride});
  return *this;
}

HobListBuilder &HobListBuilder::NoEnd() {
  end_ = false;
  return *this;
}

void *Platform::InstallHobList(const HobListBuilder &builder) {
  size_t size = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  for (const auto &hob : builder.hobs_) {
    size += kHobHeaderLength + PaddedTo8(hob.body.size());
  }
  const size_t endOffset = size;
  if (builder.end_) {
    size += kHobHeaderLength;
  }
  hobLists_.push_back(std::make_unique<uint64_t[]>(size / 8));
  auto *bytes = reinterpret_cast<uint8_t *>(hobLists_.back().get());
  const auto address = [&](size_t offset) {
    return static_cast<EFI_PHYSICAL_ADDRESS>(reinterpret_cast<uintptr_t>(bytes + offset));
  };

  EFI_HOB_HANDOFF_INFO_TABLE phit{};
  phit.Header.HobType = EFI_HOB_TYPE_HANDOFF;
  phit.Header.HobLength = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  phit.Version = kHandoffTableVersion;
  phit.BootMode = kBootOnFlashUpdate;
  phit.EfiMemoryTop = address(size);
  phit.EfiMemoryBottom = address(0);
  phit.EfiFreeMemoryTop = address(size);
  phit.EfiFreeMemoryBottom = address(size);
  phit.EfiEndOfHobList = address(endOffset);
  std::memcpy(bytes, &phit, sizeof phit);

  size_t offset = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  for (const auto &hob : builder.hobs_) {
    const size_t length = kHobHeaderLength + PaddedTo8(hob.body.size());
    EFI_HOB_GENERIC_HEADER header{hob.type, hob.length.value_or(static_cast<uint16_t>(length)),
                                  0};
    std::memcpy(bytes + offset, &header, sizeof header);
    if (!hob.body.empty()) {
      std::memcpy(bytes + offset + kHobHeaderLength, hob.body.data(), hob.body.size());
    }
    offset += length;
  }
  if (builder.end_) {
    EFI_HOB_GENERIC_HEADER end{EFI_HOB_TYPE_END_OF_HOB_LIST,
                               static_cast<uint16_t>(kHobHeaderLength), 0};
    std::memcpy(bytes + offset, &end, sizeof end);
  }
  AddConfigurationTable(kHobListGuid, bytes);
  return bytes;
}

// ---------------------------------------------------------------- virtual clock

EFI_STATUS Platform::StallService(UINTN us) {
  stalls_.push_back(us);
  if (us > stallBudgetUs_ - std::min(stalledUs_, stallBudgetUs_)) {
    Violation("virtual time budget exceeded: Stall(" + std::to_string(us) + ") after " +
              std::to_string(stalledUs_) + " us stalled, budget " +
              std::to_string(stallBudgetUs_) + " us");
    throw TimeBudgetExceeded("virtual time budget exceeded");
  }
  stalledUs_ += us;
  AdvanceTime(us);
  return EFI_SUCCESS;
}

void Platform::AdvanceTime(uint64_t us) {
  nowUs_ += us;
  usb_->Advance(nowUs_);
  usb_->Sync();
}

}  // namespace sim
