// The simulated UEFI platform the driver's host build runs in: system table and services,
// pool with accounting and fault injection, handle database, variables, configuration
// table and HOB list, a virtual clock, and a USB bus carrying device models.
//
// One Platform lives at a time; its service tables dispatch to it through Current().
// Mistakes of the code under test (a call to a service the simulation does not provide, a
// free of something that is not a pool block, waiting past the time budget) are recorded
// as violations; misuse of this C++ interface by a test throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "camera/UsbDevice.h"
#include "platform/Uefi.h"

namespace sim {

class Platform;

// The live platform, or nullptr.
Platform *Current();

// Puts the driver's module-wide variables back as a freshly loaded image has them, so that
// each run in one process starts as a run in firmware does.
void ResetDriverState();

// Thrown out of Stall when the code under test has waited past the virtual time budget, so
// that a wait without bound ends the test instead of hanging it.
class TimeBudgetExceeded : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- HOB list

// The HOBs that follow the PHIT handoff HOB, in order; see Platform::InstallHobList.
class HobListBuilder {
 public:
  // A capsule HOB: BaseAddress and Length.
  HobListBuilder &Capsule(uint64_t base, uint64_t length,
                          uint16_t type = EFI_HOB_TYPE_UEFI_CAPSULE);
  // Any HOB: body is what follows the 8-byte header, padded with zeros to a multiple of 8.
  // HobLength is 8 + the padded body unless overridden.
  HobListBuilder &Raw(uint16_t type, std::vector<uint8_t> body,
                      std::optional<uint16_t> hobLengthOverride = {});
  // Leave out the END_OF_HOB_LIST HOB.
  HobListBuilder &NoEnd();

 private:
  friend class Platform;
  struct Hob {
    uint16_t type;
    std::vector<uint8_t> body;
    std::optional<uint16_t> length;
  };
  std::vector<Hob> hobs_;
  bool end_ = true;
};

// ---------------------------------------------------------------- USB bus

// Optional fields of a setup packet; an empty field matches anything.
struct SetupMatch {
  std::optional<uint8_t> bmRequestType{};
  std::optional<uint8_t> bRequest{};
  std::optional<uint16_t> wValue{};
  std::optional<uint16_t> wIndex{};
};

enum class DescriptorGetter { Device, Configuration, Interface };

// One UsbControlTransfer call as the code under test made it.
struct Transfer {
  size_t index;             // counts every UsbControlTransfer call since the bus was created
  uint8_t port;
  uint8_t interfaceNumber;  // of the EFI_USB_IO_PROTOCOL instance the call went through
  EFI_USB_DEVICE_REQUEST setup;      // as sent; zeros when Request was NULL
  EFI_USB_DATA_DIRECTION direction;
  uint32_t timeoutMs;
  size_t dataLength;                 // the DataLength argument
  std::vector<uint8_t> dataOut;      // OUT: the DataLength bytes sent
  std::vector<uint8_t> dataIn;       // IN: the bytes delivered into Data
  EFI_STATUS status;
  uint32_t usbStatus;                // written to *UsbStatus; 0 when nothing was written
  bool reachedDevice;                // false: refused, failed by injection, or stale instance
  uint8_t address;                   // the USB address of the instance's device (see UsbBus)
  uint64_t timeUs;                   // virtual time of the call
};

class UsbBus {
 public:
  static constexpr uint8_t kRootPorts = 8;

  UsbBus(const UsbBus &) = delete;
  UsbBus &operator=(const UsbBus &) = delete;
  ~UsbBus();

  // Puts the device on the lowest free root port (ports count from 0, as the USB device
  // path node numbers them) and enumerates it: the bus reads its descriptors directly,
  // sends it SET_CONFIGURATION (neither recorded as transfers) and creates one handle per
  // interface (bAlternateSetting 0), in descriptor order. A device with unusable
  // descriptors, or refusing the configuration, gets no handles and a note. The same
  // happens again whenever the device reconnects or changes Generation(). Throws when no
  // port is free. Each enumeration gives the device the next USB address (1, 2, ... 127,
  // then 1 again), as a host does; every transfer records the address of its device.
  uint8_t Attach(std::shared_ptr<usb::Device> device);
  // Puts the device on port hubPort (0-based, as EDK II's USB device path numbers a hub's
  // ports) of the hub attached as `hub`, and enumerates it as Attach does. Its device path
  // has a USB() node for the hub's port and one for its own; the value returned names it as
  // Attach's does (transfers record it as their port). Throws when the hub slot holds no
  // device or that hub port is taken.
  uint8_t AttachToHub(uint8_t hub, uint8_t hubPort, std::shared_ptr<usb::Device> device);
  // Unplugs the device: its handles go away, the port becomes free.
  void Detach(uint8_t port);

  // Handles and EFI_USB_IO_PROTOCOL instances of the device's current interfaces.
  std::vector<EFI_HANDLE> Handles(uint8_t port) const;
  EFI_USB_IO_PROTOCOL *UsbIo(uint8_t port, size_t interfaceIndex) const;

  const std::vector<Transfer> &Transfers() const { return transfers_; }
  void ClearTransfers() { transfers_.clear(); }
  // The transfers so far, moved out: none are recorded afterwards until the next one.
  std::vector<Transfer> TakeTransfers() { return std::exchange(transfers_, {}); }
  // Whether transfers are kept for Transfers() (the default). Off, a transfer is counted
  // and its data stage bytes added up, nothing more: for runs that look only at outcomes.
  void RecordTransfers(bool record) { recordTransfers_ = record; }
  // Every transfer since the bus was created, and the data stage bytes they carried,
  // recorded or not.
  size_t TransferCount() const { return transferCount_; }
  uint64_t BytesOut() const { return bytesOut_; }
  uint64_t BytesIn() const { return bytesIn_; }

  // The transfer with this index fails without reaching the device.
  void FailTransfer(size_t index, EFI_STATUS status, uint32_t usbStatus);
  // Transfers whose setup packet matches fail without reaching the device, the next
  // `times` times (-1: always).
  void FailMatching(SetupMatch match, EFI_STATUS status, uint32_t usbStatus, int times = -1);
  // The getter fails with status on every interface of the port until called again with
  // EFI_SUCCESS or the device is detached.
  void FailDescriptorGetter(uint8_t port, DescriptorGetter which, EFI_STATUS status);

  // The IN transfer with this index delivers at most `length` bytes of the device's answer,
  // as a device that answers short: the device has taken the request and acted on it; what
  // the caller then sees is what ShortAnswersFail says. Recorded in Transfer::dataIn.
  void ShortenAnswer(size_t index, size_t length);

  // Whether an IN data stage shorter than DataLength fails the transfer (EFI_DEVICE_ERROR,
  // USB status 0, the bytes that arrived in Data), as in OVMF under QEMU; the default. When
  // off, the transfer succeeds and the caller cannot tell, as with other host controllers.
  void ShortAnswersFail(bool fail) { shortAnswersFail_ = fail; }

  // As EDK II's USB bus driver: when a device leaves, each of its interfaces is uninstalled
  // and its EFI_USB_IO_PROTOCOL instance freed (delete, which AddressSanitizer watches), so
  // a call through a pointer kept across the departure reads freed memory. The removal, as
  // the firmware's hub polling timer does it, runs only while the caller's TPL is below
  // TPL_CALLBACK. With reuse on, a freed instance's memory is handed out again to the next
  // interface enumerated, as a firmware pool may do: an old pointer then leads to a live
  // interface of another device.
  void ReuseFreedInterfaces(bool reuse) { reuseFreed_ = reuse; }
  // Why a device got no handles (unusable descriptors, refused configuration).
  const std::vector<std::string> &Notes() const { return notes_; }

 private:
  friend class Platform;
  friend struct UsbIoEntries;

  struct Interface {
    EFI_USB_IO_PROTOCOL io;
    uint8_t port = 0;
    uint8_t address = 0;
    EFI_HANDLE handle = nullptr;
    EFI_USB_INTERFACE_DESCRIPTOR descriptor{};
    std::vector<EFI_USB_ENDPOINT_DESCRIPTOR> endpoints;
    std::vector<uint8_t> devicePath;
  };
  struct Port {
    std::shared_ptr<usb::Device> device;
    // The port numbers from the root hub down (a root port: empty, the slot's own number).
    std::vector<uint8_t> behindHub;
    bool enumerated = false;  // handles exist (or were refused) for this connection
    uint32_t generation = 0;
    EFI_USB_DEVICE_DESCRIPTOR deviceDescriptor{};
    EFI_USB_CONFIG_DESCRIPTOR configDescriptor{};
    std::vector<Interface *> interfaces;
    std::map<DescriptorGetter, EFI_STATUS> getterFailures;
  };
  struct MatchFailure {
    SetupMatch match;
    EFI_STATUS status;
    uint32_t usbStatus;
    int times;
  };

  explicit UsbBus(Platform &platform);
  std::vector<uint8_t> ChainOf(uint8_t port) const;
  Port &PortAt(uint8_t port);
  const Port &PortAt(uint8_t port) const;
  Interface *Find(const EFI_USB_IO_PROTOCOL *io);
  void Advance(uint64_t nowUs);
  void Sync();
  void Enumerate(uint8_t port);
  void Remove(Port &port);
  bool Configure(uint8_t port);
  bool InjectedFailure(size_t index, const EFI_USB_DEVICE_REQUEST &setup, EFI_STATUS *status,
                       uint32_t *usbStatus);

  EFI_STATUS ControlTransfer(Interface &interface, EFI_USB_DEVICE_REQUEST *request,
                             EFI_USB_DATA_DIRECTION direction, uint32_t timeoutMs, void *data,
                             UINTN dataLength, uint32_t *usbStatus);
  EFI_STATUS GetterFailure(const Interface &interface, DescriptorGetter which) const;
  EFI_STATUS PortReset(Interface &interface);

  Platform &platform_;
  std::vector<Port> ports_;
  // The live instances; a freed one is deleted, or kept in spare_ for reuse.
  std::unordered_map<const EFI_USB_IO_PROTOCOL *, std::unique_ptr<Interface>> byIo_;
  std::vector<std::unique_ptr<Interface>> spare_;
  bool reuseFreed_ = false;
  std::vector<Transfer> transfers_;
  size_t transferCount_ = 0;
  uint64_t bytesOut_ = 0;
  uint64_t bytesIn_ = 0;
  bool recordTransfers_ = true;
  std::map<size_t, std::pair<EFI_STATUS, uint32_t>> indexFailures_;
  std::map<size_t, size_t> shortenedAnswers_;  // transfer index -> most bytes delivered
  std::vector<MatchFailure> matchFailures_;
  uint8_t lastAddress_ = 0;
  bool shortAnswersFail_ = true;
  std::vector<std::string> notes_;
};

// ---------------------------------------------------------------- platform

class Platform {
 public:
  Platform();
  ~Platform();
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  EFI_SYSTEM_TABLE *SystemTable() { return &systemTable_; }
  EFI_BOOT_SERVICES *BootServices() { return &bootServices_; }
  EFI_RUNTIME_SERVICES *RuntimeServices() { return &runtimeServices_; }
  EFI_HANDLE ImageHandle() const { return imageHandle_; }
  // Sets the driver's ::ImageHandle, ::SystemTable, ::BootServices and ::RuntimeServices as
  // its entry point does. The destructor clears them.
  void InstallDriverGlobals();

  void SetFirmwareVendor(std::u16string_view vendor);

  // ------------------------------------------------------------ pool
  struct PoolStats {
    size_t outstanding;
    size_t outstandingBytes;
    size_t peakBytes;
    size_t calls;
  };
  // Largest total of outstanding pool bytes; beyond it AllocatePool runs out of resources.
  static constexpr size_t kPoolCapacityBytes = size_t{256} << 20;

  // The nth AllocatePool call from now (1: the next one) fails with EFI_OUT_OF_RESOURCES.
  void FailAllocation(size_t nth);
  size_t AllocationCalls() const { return allocationCalls_; }
  // The Size argument of every AllocatePool call, in order (failed calls included).
  const std::vector<size_t> &AllocationSizes() const { return allocationSizes_; }
  PoolStats Pool() const;
  bool IsLiveAllocation(const void *p) const { return blocks_.count(p) != 0; }
  // A live block expected to outlive the test, such as a record the driver keeps.
  void AllowOutstanding(const void *p);
  // Live blocks not allowed to outlive the test, one line each.
  std::vector<std::string> Leaks() const;

  // ------------------------------------------------------------ handle database
  EFI_HANDLE CreateHandle();
  void InstallProtocol(EFI_HANDLE handle, const EFI_GUID &protocol, void *interface);
  void UninstallProtocol(EFI_HANDLE handle, const EFI_GUID &protocol);
  void DestroyHandle(EFI_HANDLE handle);
  // Looks the pointer up; never dereferences it.
  bool IsHandle(const void *p) const { return handles_.count(p) != 0; }
  // OpenProtocol entries currently recorded for the protocol on the handle.
  size_t OpenEntries(EFI_HANDLE handle, const EFI_GUID &protocol) const;
  size_t ConnectControllerCalls() const { return connectControllerCalls_; }

  // ------------------------------------------------------------ variables
  void SetVariable(std::u16string name, const EFI_GUID &guid, uint32_t attributes,
                   std::vector<uint8_t> data);
  void DeleteVariable(const std::u16string &name, const EFI_GUID &guid);
  // Reads of the variable (any vendor GUID) return status.
  void FailGetVariable(std::u16string name, EFI_STATUS status);
  size_t GetVariableCalls(const std::u16string &name) const;
  // Writes and deletes of the variable (any vendor GUID; an empty name: of every variable)
  // through SetVariable fail with status and change nothing: EFI_WRITE_PROTECTED as a
  // locked store answers, EFI_OUT_OF_RESOURCES as a full one.
  void FailSetVariable(std::u16string name, EFI_STATUS status);
  size_t SetVariableCalls(const std::u16string &name) const;
  // The variable's data, if it exists (and its attributes through `attributes`).
  std::optional<std::vector<uint8_t>> VariableData(const std::u16string &name, const EFI_GUID &guid,
                                                   uint32_t *attributes = nullptr) const;
  // The non-volatile variables, as they survive a reset: a test hands them to the next
  // boot's platform with LoadNonVolatile.
  struct StoredVariable {
    std::u16string name;
    EFI_GUID guid;
    uint32_t attributes;
    std::vector<uint8_t> data;
  };
  std::vector<StoredVariable> NonVolatileVariables() const;
  void LoadNonVolatile(const std::vector<StoredVariable> &variables);

  // ------------------------------------------------------------ configuration table, HOBs
  // Adds the entry, or replaces the table of an entry with the same GUID.
  void AddConfigurationTable(const EFI_GUID &guid, void *table);
  // Builds a HOB list the platform owns: the PHIT handoff HOB, the builder's HOBs, the
  // END_OF_HOB_LIST HOB; 8-byte aligned; installed under EFI_HOB_LIST_GUID. Returns its
  // address.
  void *InstallHobList(const HobListBuilder &builder);

  // ------------------------------------------------------------ virtual clock
  uint64_t NowUs() const { return nowUs_; }
  // The argument of every Stall call, in order.
  const std::vector<uint64_t> &Stalls() const { return stalls_; }
  // Most microseconds the code under test may stall in total (default 30 minutes).
  void SetStallBudgetUs(uint64_t budgetUs) { stallBudgetUs_ = budgetUs; }
  // Time passes without a Stall call: devices act, the bus re-syncs.
  void AdvanceTime(uint64_t us);

  UsbBus &Usb() { return *usb_; }
  const UsbBus &Usb() const { return *usb_; }

  // Virtual time spent inside control transfers that timed out (included in NowUs).
  uint64_t TransferWaitUs() const { return transferWaitUs_; }
  // The task priority level the code under test runs at (TPL_APPLICATION at its entry).
  EFI_TPL Tpl() const { return tpl_; }

  std::vector<std::string> Violations() const { return violations_; }
  void ClearViolations() { violations_.clear(); }
  // Records a mistake of the code under test; the simulation's parts call it.
  void Violation(std::string what) { violations_.push_back(std::move(what)); }

 private:
  friend struct Services;
  friend class UsbBus;

  struct Block {
    size_t size;
    size_t sequence;
    bool allowed;
  };
  struct OpenEntry {
    EFI_HANDLE agent;
    EFI_HANDLE controller;
    uint32_t attributes;
    uint32_t count;
  };
  struct ProtocolEntry {
    EFI_GUID guid;
    void *interface;
    std::vector<OpenEntry> opens;
  };
  struct Handle {
    std::vector<ProtocolEntry> protocols;
  };
  struct Variable {
    uint32_t attributes;
    std::vector<uint8_t> data;
  };
  using VariableKey = std::pair<std::u16string, std::string>;  // name, GUID bytes

  void RefreshSystemTable();
  Handle &HandleAt(EFI_HANDLE handle);
  const Handle &HandleAt(EFI_HANDLE handle) const;
  static ProtocolEntry *FindProtocol(Handle &handle, const EFI_GUID &guid);
  static VariableKey KeyOf(const std::u16string &name, const EFI_GUID &guid);

  // Service bodies, reached through Services.
  EFI_STATUS AllocatePoolService(EFI_MEMORY_TYPE type, UINTN size, void **buffer);
  EFI_STATUS FreePoolService(void *buffer);
  EFI_STATUS HandleProtocolService(EFI_HANDLE handle, const EFI_GUID *protocol,
                                   void **interface);
  EFI_STATUS LocateHandleBufferService(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID *protocol,
                                       void *searchKey, UINTN *count, EFI_HANDLE **buffer);
  EFI_STATUS LocateProtocolService(const EFI_GUID *protocol, void *registration,
                                   void **interface);
  EFI_STATUS InstallProtocolInterfaceService(EFI_HANDLE *handle, const EFI_GUID *protocol,
                                             uint32_t interfaceType, void *interface);
  EFI_STATUS OpenProtocolService(EFI_HANDLE handle, const EFI_GUID *protocol,
                                 void **interface, EFI_HANDLE agent, EFI_HANDLE controller,
                                 uint32_t attributes);
  EFI_STATUS CloseProtocolService(EFI_HANDLE handle, const EFI_GUID *protocol,
                                  EFI_HANDLE agent, EFI_HANDLE controller);
  EFI_STATUS ConnectControllerService(EFI_HANDLE controller);
  EFI_STATUS StallService(UINTN us);
  EFI_TPL RaiseTplService(EFI_TPL tpl);
  void RestoreTplService(EFI_TPL tpl);
  // Time passes inside a control transfer (one that times out): devices act; the bus
  // re-syncs when the transfer ends.
  void TransferTime(uint64_t us);
  EFI_STATUS GetVariableService(const CHAR16 *name, const EFI_GUID *guid,
                                uint32_t *attributes, UINTN *dataSize, void *data);
  EFI_STATUS SetVariableService(const CHAR16 *name, const EFI_GUID *guid, uint32_t attributes,
                                UINTN dataSize, const void *data);
  // The name the variable services were given, or nullopt (a violation recorded) for one
  // without its NUL within their limit.
  std::optional<std::u16string> VariableName(const CHAR16 *name, const char *service);

  EFI_SYSTEM_TABLE systemTable_{};
  EFI_BOOT_SERVICES bootServices_{};
  EFI_RUNTIME_SERVICES runtimeServices_{};
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL console_{};
  std::u16string firmwareVendor_;
  std::vector<EFI_CONFIGURATION_TABLE> configurationTable_;
  std::vector<std::unique_ptr<uint64_t[]>> hobLists_;

  std::unordered_map<const void *, Block> blocks_;
  size_t allocationCalls_ = 0;
  std::vector<size_t> allocationSizes_;
  size_t outstandingBytes_ = 0;
  size_t peakBytes_ = 0;
  std::set<size_t> failingAllocations_;  // call numbers, counted like allocationCalls_

  std::vector<std::unique_ptr<Handle>> handleOrder_;     // live handles, in creation order
  std::unordered_set<const void *> handles_;
  std::vector<std::unique_ptr<Handle>> destroyedHandles_;  // kept so addresses never recur
  EFI_HANDLE imageHandle_ = nullptr;
  size_t connectControllerCalls_ = 0;

  std::map<VariableKey, Variable> variables_;
  std::map<std::u16string, EFI_STATUS> variableFailures_;
  std::map<std::u16string, size_t> variableReads_;
  std::map<std::u16string, EFI_STATUS> variableWriteFailures_;
  std::map<std::u16string, size_t> variableWrites_;

  EFI_TPL tpl_ = TPL_APPLICATION;
  uint64_t transferWaitUs_ = 0;
  uint64_t nowUs_ = 0;
  uint64_t stalledUs_ = 0;
  uint64_t stallBudgetUs_ = uint64_t{30} * 60 * 1000 * 1000;
  std::vector<uint64_t> stalls_;

  std::vector<std::string> violations_;
  std::unique_ptr<UsbBus> usb_;
};

}  // namespace sim
