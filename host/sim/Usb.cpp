// The simulated USB bus: root ports carrying device models, one handle with an
// EFI_USB_IO_PROTOCOL and a device path per interface, recorded control transfers with
// fault injection, and re-enumeration when a device disconnects or comes back as another.
#include <algorithm>
#include <cstring>
#include <utility>

#include "sim/Sim.h"
#include "sim/Trap.h"

namespace sim {
namespace {

constexpr EFI_GUID kUsbIoGuid = EFI_USB_IO_PROTOCOL_GUID;
constexpr EFI_GUID kDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
constexpr uint32_t kPciRootHid = 0x0A0341D0;  // EISA ID of PNP0A03
constexpr uint8_t kHostControllerPciDevice = 0x14;
// Most data a control transfer carries: wLength is 16 bits.
constexpr UINTN kMaxControlData = 0xFFFF;
// Highest endpoint index UsbGetEndpointDescriptor accepts, as EDK II checks it.
constexpr uint8_t kMaxEndpointIndex = 15;


struct ParsedInterface {
  EFI_USB_INTERFACE_DESCRIPTOR descriptor;
  std::vector<EFI_USB_ENDPOINT_DESCRIPTOR> endpoints;
};

struct ParsedDevice {
  EFI_USB_DEVICE_DESCRIPTOR device{};
  EFI_USB_CONFIG_DESCRIPTOR config{};
  std::vector<ParsedInterface> interfaces;  // bAlternateSetting 0, in descriptor order
};

// Checks an interface once all its endpoint descriptors have been seen, and keeps it when
// it is an alternate setting 0. Returns why the configuration is unusable, or "".
std::string CloseInterface(std::optional<ParsedInterface> &open, ParsedDevice &out) {
  if (!open) {
    return "";
  }
  ParsedInterface interface = std::move(*open);
  open.reset();
  const EFI_USB_INTERFACE_DESCRIPTOR &d = interface.descriptor;
  if (interface.endpoints.size() != d.NumEndpoints) {
    return "interface " + std::to_string(d.InterfaceNumber) + " setting " +
           std::to_string(d.AlternateSetting) + " declares " + std::to_string(d.NumEndpoints) +
           " endpoints but has " + std::to_string(interface.endpoints.size());
  }
  if (d.AlternateSetting != 0) {
    return "";
  }
  for (const ParsedInterface &seen : out.interfaces) {
    if (seen.descriptor.InterfaceNumber == d.InterfaceNumber) {
      return "interface " + std::to_string(d.InterfaceNumber) + " appears twice";
    }
  }
  out.interfaces.push_back(std::move(interface));
  return "";
}

// Reads the device and configuration descriptors as a hardened host stack does: any
// descriptor with a length below 2, cut short, running past wTotalLength, or shorter than the
// fields read makes the whole configuration unusable. Returns why, or "" when usable.
std::string ParseDescriptors(const std::vector<uint8_t> &device,
                             const std::vector<uint8_t> &config, ParsedDevice &out) {
  if (device.size() < sizeof(EFI_USB_DEVICE_DESCRIPTOR) ||
      device[0] != sizeof(EFI_USB_DEVICE_DESCRIPTOR) || device[1] != USB_DESC_TYPE_DEVICE) {
    return "the device descriptor is not 18 bytes of type 1";
  }
  std::memcpy(&out.device, device.data(), sizeof out.device);
  if (out.device.NumConfigurations == 0) {
    return "the device descriptor declares no configuration";
  }
  if (config.size() < sizeof(EFI_USB_CONFIG_DESCRIPTOR) ||
      config[0] < sizeof(EFI_USB_CONFIG_DESCRIPTOR) || config[1] != USB_DESC_TYPE_CONFIG) {
    return "the configuration descriptor is not 9 bytes of type 2";
  }
  std::memcpy(&out.config, config.data(), sizeof out.config);
  const size_t total = out.config.TotalLength;
  if (total < config[0] || total > config.size()) {
    return "wTotalLength " + std::to_string(total) + " does not fit the " +
           std::to_string(config.size()) + " bytes of the configuration";
  }

  std::optional<ParsedInterface> open;
  size_t offset = config[0];
  while (offset < total) {  // every step advances by at least 2
    const size_t remaining = total - offset;
    const auto at = [offset] { return " at offset " + std::to_string(offset); };
    if (remaining < 2) {
      return "descriptor header cut short" + at();
    }
    const size_t length = config[offset];
    const uint8_t type = config[offset + 1];
    if (length < 2) {
      return "descriptor length " + std::to_string(length) + at();
    }
    if (length > remaining) {
      return "descriptor of " + std::to_string(length) + " bytes runs past wTotalLength" + at();
    }
    if (type == USB_DESC_TYPE_INTERFACE) {
      if (length < sizeof(EFI_USB_INTERFACE_DESCRIPTOR)) {
        return "interface descriptor of " + std::to_string(length) + " bytes" + at();
      }
      if (std::string why = CloseInterface(open, out); !why.empty()) {
        return why;
      }
      open.emplace();
      std::memcpy(&open->descriptor, &config[offset], sizeof open->descriptor);
    } else if (type == USB_DESC_TYPE_ENDPOINT) {
      if (length < sizeof(EFI_USB_ENDPOINT_DESCRIPTOR)) {
        return "endpoint descriptor of " + std::to_string(length) + " bytes" + at();
      }
      if (!open) {
        return "endpoint descriptor outside any interface" + at();
      }
      EFI_USB_ENDPOINT_DESCRIPTOR endpoint;
      std::memcpy(&endpoint, &config[offset], sizeof endpoint);
      open->endpoints.push_back(endpoint);
    }
    offset += length;
  }
  if (std::string why = CloseInterface(open, out); !why.empty()) {
    return why;
  }
  if (out.interfaces.empty()) {
    return "the configuration has no interface";
  }
  if (out.interfaces.size() != out.config.NumInterfaces) {
    return "bNumInterfaces is " + std::to_string(out.config.NumInterfaces) + " but " +
           std::to_string(out.interfaces.size()) + " interfaces are described";
  }
  return "";
}

template <typename Node>
void Append(std::vector<uint8_t> &path, const Node &node) {
  const auto *bytes = reinterpret_cast<const uint8_t *>(&node);
  path.insert(path.end(), bytes, bytes + sizeof node);
}

// ACPI(PNP0A03,0)/PCI(0x14,0)/USB(port,interface)/End, packed; behind hubs one USB() node
// per hub port from the root down, each hub's interface 0, then the device's own.
std::vector<uint8_t> DevicePathOf(const std::vector<uint8_t> &chain, uint8_t interfaceNumber) {
  std::vector<uint8_t> path;
  path.reserve(sizeof(ACPI_HID_DEVICE_PATH) + sizeof(PCI_DEVICE_PATH) +
               chain.size() * sizeof(USB_DEVICE_PATH) + sizeof(EFI_DEVICE_PATH_PROTOCOL));
  Append(path, ACPI_HID_DEVICE_PATH{{ACPI_DEVICE_PATH, ACPI_DP, {sizeof(ACPI_HID_DEVICE_PATH), 0}},
                                    kPciRootHid,
                                    0});
  Append(path, PCI_DEVICE_PATH{{HARDWARE_DEVICE_PATH, HW_PCI_DP, {sizeof(PCI_DEVICE_PATH), 0}},
                               0,
                               kHostControllerPciDevice});
  for (size_t i = 0; i < chain.size(); i++) {
    Append(path, USB_DEVICE_PATH{{MESSAGING_DEVICE_PATH, MSG_USB_DP, {sizeof(USB_DEVICE_PATH), 0}},
                                 chain[i],
                                 i + 1 == chain.size() ? interfaceNumber : uint8_t{0}});
  }
  Append(path, EFI_DEVICE_PATH_PROTOCOL{END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE,
                                        {sizeof(EFI_DEVICE_PATH_PROTOCOL), 0}});
  return path;
}

bool Matches(const SetupMatch &m, const EFI_USB_DEVICE_REQUEST &setup) {
  return (!m.bmRequestType || *m.bmRequestType == setup.RequestType) &&
         (!m.bRequest || *m.bRequest == setup.Request) &&
         (!m.wValue || *m.wValue == setup.Value) && (!m.wIndex || *m.wIndex == setup.Index);
}

}  // namespace

// ---------------------------------------------------------------- EFIAPI entries

struct UsbIoEntries {
  // The instance behind This, or nullptr (recorded as a violation) for a pointer the bus
  // never handed out.
  static UsbBus::Interface *Resolve(EFI_USB_IO_PROTOCOL *This) {
    UsbBus::Interface *interface = Live().Usb().Find(This);
    if (interface == nullptr) {
      Live().Violation("USB I/O call through " + PointerText(This) +
                       ", which is not a USB I/O instance of the bus");
    }
    return interface;
  }
  static EFI_STATUS EFIAPI ControlTransfer(EFI_USB_IO_PROTOCOL *This,
                                           EFI_USB_DEVICE_REQUEST *Request,
                                           EFI_USB_DATA_DIRECTION Direction, UINT32 Timeout,
                                           VOID *Data, UINTN DataLength, UINT32 *Status) {
    UsbBus::Interface *interface = Resolve(This);
    if (interface == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    return Live().Usb().ControlTransfer(*interface, Request, Direction, Timeout, Data,
                                        DataLength, Status);
  }

  // The three descriptor getters: the instance, a failure injected for the getter, then
  // the descriptor the bus keeps for the interface.
  template <typename Descriptor, typename Kept>
  static EFI_STATUS Getter(EFI_USB_IO_PROTOCOL *This, Descriptor *Out, DescriptorGetter which,
                           Kept kept) {
    UsbBus::Interface *interface = Resolve(This);
    if (interface == nullptr || Out == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    if (EFI_STATUS s = Live().Usb().GetterFailure(*interface, which); s != EFI_SUCCESS) {
      return s;
    }
    *Out = kept(*interface);
    return EFI_SUCCESS;
  }

  static EFI_STATUS EFIAPI GetDeviceDescriptor(EFI_USB_IO_PROTOCOL *This,
                                               EFI_USB_DEVICE_DESCRIPTOR *Descriptor) {
    return Getter(This, Descriptor, DescriptorGetter::Device, [](const UsbBus::Interface &i) {
      return Live().Usb().PortAt(i.port).deviceDescriptor;
    });
  }

  // Only the 9-byte configuration descriptor, as EDK II: whatever follows it takes a
  // GET_DESCRIPTOR control transfer.
  static EFI_STATUS EFIAPI GetConfigDescriptor(EFI_USB_IO_PROTOCOL *This,
                                               EFI_USB_CONFIG_DESCRIPTOR *Descriptor) {
    return Getter(This, Descriptor, DescriptorGetter::Configuration,
                  [](const UsbBus::Interface &i) {
                    return Live().Usb().PortAt(i.port).configDescriptor;
                  });
  }

  static EFI_STATUS EFIAPI GetInterfaceDescriptor(EFI_USB_IO_PROTOCOL *This,
                                                  EFI_USB_INTERFACE_DESCRIPTOR *Descriptor) {
    return Getter(This, Descriptor, DescriptorGetter::Interface,
                  [](const UsbBus::Interface &i) { return i.descriptor; });
  }

  static EFI_STATUS EFIAPI GetEndpointDescriptor(EFI_USB_IO_PROTOCOL *This, UINT8 Index,
                                                 EFI_USB_ENDPOINT_DESCRIPTOR *Descriptor) {
    UsbBus::Interface *interface = Resolve(This);
    if (interface == nullptr || Descriptor == nullptr || Index > kMaxEndpointIndex) {
      return EFI_INVALID_PARAMETER;
    }
    if (Index >= interface->endpoints.size()) {
      return EFI_NOT_FOUND;
    }
    *Descriptor = interface->endpoints[Index];
    return EFI_SUCCESS;
  }

  static EFI_STATUS EFIAPI PortReset(EFI_USB_IO_PROTOCOL *This) {
    UsbBus::Interface *interface = Resolve(This);
    if (interface == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    return Live().Usb().PortReset(*interface);
  }

  static EFI_USB_IO_PROTOCOL Table() {
    EFI_USB_IO_PROTOCOL io{};
    io.UsbControlTransfer = &ControlTransfer;
    SIM_TRAP(io, "USB I/O service", UsbBulkTransfer);
    SIM_TRAP(io, "USB I/O service", UsbAsyncInterruptTransfer);
    SIM_TRAP(io, "USB I/O service", UsbSyncInterruptTransfer);
    SIM_TRAP(io, "USB I/O service", UsbIsochronousTransfer);
    SIM_TRAP(io, "USB I/O service", UsbAsyncIsochronousTransfer);
    io.UsbGetDeviceDescriptor = &GetDeviceDescriptor;
    io.UsbGetConfigDescriptor = &GetConfigDescriptor;
    io.UsbGetInterfaceDescriptor = &GetInterfaceDescriptor;
    io.UsbGetEndpointDescriptor = &GetEndpointDescriptor;
    SIM_TRAP(io, "USB I/O service", UsbGetStringDescriptor);
    SIM_TRAP(io, "USB I/O service", UsbGetSupportedLanguages);
    io.UsbPortReset = &PortReset;
    return io;
  }
};

// ---------------------------------------------------------------- bus

UsbBus::UsbBus(Platform &platform) : platform_(platform), ports_(kRootPorts) {}

UsbBus::~UsbBus() = default;

UsbBus::Port &UsbBus::PortAt(uint8_t port) {
  return const_cast<Port &>(std::as_const(*this).PortAt(port));
}

const UsbBus::Port &UsbBus::PortAt(uint8_t port) const {
  if (port >= ports_.size()) {
    throw std::out_of_range("no root port " + std::to_string(port));
  }
  return ports_[port];
}

UsbBus::Interface *UsbBus::Find(const EFI_USB_IO_PROTOCOL *io) {
  const auto it = byIo_.find(io);
  return it == byIo_.end() ? nullptr : it->second.get();
}

std::vector<uint8_t> UsbBus::ChainOf(uint8_t port) const {
  const Port &p = PortAt(port);
  return p.behindHub.empty() ? std::vector<uint8_t>{port} : p.behindHub;
}

uint8_t UsbBus::AttachToHub(uint8_t hub, uint8_t hubPort, std::shared_ptr<usb::Device> device) {
  if (!device) {
    throw std::invalid_argument("AttachToHub: no device");
  }
  if (!PortAt(hub).device) {
    throw std::invalid_argument("AttachToHub: no hub on port " + std::to_string(hub));
  }
  std::vector<uint8_t> chain = ChainOf(hub);
  chain.push_back(hubPort);
  for (const Port &p : ports_) {
    if (p.device && p.behindHub == chain) {
      throw std::invalid_argument("AttachToHub: hub port " + std::to_string(hubPort) + " is taken");
    }
  }
  if (ports_.size() > UINT8_MAX) {
    throw std::length_error("AttachToHub: too many devices");
  }
  ports_.push_back(Port{});
  ports_.back().device = std::move(device);
  ports_.back().behindHub = std::move(chain);
  Sync();
  return static_cast<uint8_t>(ports_.size() - 1);
}

uint8_t UsbBus::Attach(std::shared_ptr<usb::Device> device) {
  if (!device) {
    throw std::invalid_argument("Attach: no device");
  }
  for (uint8_t port = 0; port < kRootPorts; port++) {
    if (!ports_[port].device) {
      ports_[port].device = std::move(device);
      Sync();
      return port;
    }
  }
  throw std::length_error("Attach: every root port is taken");
}

void UsbBus::Detach(uint8_t port) {
  Port &p = PortAt(port);
  if (!p.device) {
    throw std::invalid_argument("Detach: no device on port " + std::to_string(port));
  }
  Remove(p);
  std::vector<uint8_t> behindHub = std::move(p.behindHub);  // a hub's port stays one, free
  p = Port{};
  p.behindHub = std::move(behindHub);
}

std::vector<EFI_HANDLE> UsbBus::Handles(uint8_t port) const {
  std::vector<EFI_HANDLE> handles;
  for (const Interface *interface : PortAt(port).interfaces) {
    handles.push_back(interface->handle);
  }
  return handles;
}

EFI_USB_IO_PROTOCOL *UsbBus::UsbIo(uint8_t port, size_t interfaceIndex) const {
  const Port &p = PortAt(port);
  return interfaceIndex < p.interfaces.size() ? &p.interfaces[interfaceIndex]->io : nullptr;
}

void UsbBus::FailTransfer(size_t index, EFI_STATUS status, uint32_t usbStatus) {
  indexFailures_[index] = {status, usbStatus};
}

void UsbBus::ShortenAnswer(size_t index, size_t length) { shortenedAnswers_[index] = length; }

void UsbBus::FailMatching(SetupMatch match, EFI_STATUS status, uint32_t usbStatus, int times) {
  if (times == 0 || times < -1) {
    throw std::invalid_argument("FailMatching: times is -1 (always) or a positive count");
  }
  matchFailures_.push_back(MatchFailure{match, status, usbStatus, times});
}

void UsbBus::FailDescriptorGetter(uint8_t port, DescriptorGetter which, EFI_STATUS status) {
  Port &p = PortAt(port);
  if (status == EFI_SUCCESS) {
    p.getterFailures.erase(which);
  } else {
    p.getterFailures[which] = status;
  }
}

EFI_STATUS UsbBus::GetterFailure(const Interface &interface, DescriptorGetter which) const {
  const Port &p = PortAt(interface.port);
  const auto it = p.getterFailures.find(which);
  return it == p.getterFailures.end() ? EFI_SUCCESS : it->second;
}

void UsbBus::Advance(uint64_t nowUs) {
  for (Port &p : ports_) {
    if (p.device) {
      p.device->Advance(nowUs);
    }
  }
}

void UsbBus::Sync() {
  if (platform_.Tpl() >= TPL_CALLBACK) {
    return;  // as the hub polling timer: RestoreTPL below TPL_CALLBACK syncs again
  }
  for (uint8_t port = 0; port < ports_.size(); port++) {
    Port &p = ports_[port];
    if (!p.device) {
      continue;
    }
    if (!p.device->Connected()) {
      if (p.enumerated) {
        Remove(p);
      }
      continue;
    }
    if (!p.enumerated || p.device->Generation() != p.generation) {
      Remove(p);
      Enumerate(port);
    }
  }
}

void UsbBus::Remove(Port &p) {
  for (Interface *interface : p.interfaces) {
    if (platform_.IsHandle(interface->handle)) {
      platform_.DestroyHandle(interface->handle);
    }
    const auto it = byIo_.find(&interface->io);
    if (reuseFreed_) {
      spare_.push_back(std::move(it->second));
    }
    byIo_.erase(it);  // frees the instance unless it is kept for reuse
  }
  p.interfaces.clear();
  p.enumerated = false;
}

bool UsbBus::Configure(uint8_t port) {
  Port &p = ports_[port];
  const usb::Setup setup{0x00, usb::kSetConfiguration, p.configDescriptor.ConfigurationValue, 0,
                         0};
  if (p.device->Control(setup, {}).outcome != usb::Outcome::Ack) {
    notes_.push_back("port " + std::to_string(port) + ": the device refused SET_CONFIGURATION(" +
                     std::to_string(setup.wValue) + ")");
    return false;
  }
  return true;
}

void UsbBus::Enumerate(uint8_t port) {
  Port &p = ports_[port];
  p.enumerated = true;
  p.generation = p.device->Generation();
  ParsedDevice parsed;
  const std::string why =
      ParseDescriptors(p.device->DeviceDescriptor(), p.device->ConfigurationDescriptor(), parsed);
  if (!why.empty()) {
    notes_.push_back("port " + std::to_string(port) + ": " + why + "; the device gets no handles");
    return;
  }
  p.deviceDescriptor = parsed.device;
  p.configDescriptor = parsed.config;
  if (!Configure(port)) {
    return;
  }
  constexpr uint8_t kLastUsbAddress = 127;
  lastAddress_ = lastAddress_ == kLastUsbAddress ? 1 : lastAddress_ + 1;
  for (ParsedInterface &parsedInterface : parsed.interfaces) {
    std::unique_ptr<Interface> interface;
    if (!spare_.empty()) {  // the memory of the instance freed last
      interface = std::move(spare_.back());
      spare_.pop_back();
      *interface = Interface{};
    } else {
      interface = std::make_unique<Interface>();
    }
    interface->io = UsbIoEntries::Table();
    interface->port = port;
    interface->address = lastAddress_;
    interface->descriptor = parsedInterface.descriptor;
    interface->endpoints = std::move(parsedInterface.endpoints);
    interface->devicePath = DevicePathOf(ChainOf(port), interface->descriptor.InterfaceNumber);
    interface->handle = platform_.CreateHandle();
    platform_.InstallProtocol(interface->handle, kUsbIoGuid, &interface->io);
    platform_.InstallProtocol(interface->handle, kDevicePathGuid, interface->devicePath.data());
    p.interfaces.push_back(interface.get());
    byIo_[&interface->io] = std::move(interface);
  }
}

bool UsbBus::InjectedFailure(size_t index, const EFI_USB_DEVICE_REQUEST &setup,
                             EFI_STATUS *status, uint32_t *usbStatus) {
  if (const auto it = indexFailures_.find(index); it != indexFailures_.end()) {
    *status = it->second.first;
    *usbStatus = it->second.second;
    indexFailures_.erase(it);
    return true;
  }
  for (auto it = matchFailures_.begin(); it != matchFailures_.end(); ++it) {
    if (Matches(it->match, setup)) {
      *status = it->status;
      *usbStatus = it->usbStatus;
      if (it->times > 0 && --it->times == 0) {
        matchFailures_.erase(it);
      }
      return true;
    }
  }
  return false;
}

EFI_STATUS UsbBus::ControlTransfer(Interface &interface, EFI_USB_DEVICE_REQUEST *request,
                                   EFI_USB_DATA_DIRECTION direction, uint32_t timeoutMs,
                                   void *data, UINTN dataLength, uint32_t *usbStatus) {
  Transfer t{};
  t.index = transferCount_++;
  t.port = interface.port;
  t.interfaceNumber = interface.descriptor.InterfaceNumber;
  t.address = interface.address;
  if (request != nullptr) {
    t.setup = *request;
  }
  t.direction = direction;
  t.timeoutMs = timeoutMs;
  t.dataLength = dataLength;
  t.timeUs = platform_.NowUs();
  const auto finish = [&](EFI_STATUS status, std::optional<uint32_t> written) {
    t.status = status;
    if (written) {
      *usbStatus = *written;
      t.usbStatus = *written;
    }
    bytesOut_ += t.dataOut.size();
    if (recordTransfers_) {
      transfers_.push_back(std::move(t));
    }
    Sync();
    return status;
  };

  // Refusals of EDK II's USB I/O and xHCI drivers, before anything reaches the device.
  const bool hasData = direction == EfiUsbDataIn || direction == EfiUsbDataOut;
  if (request == nullptr || usbStatus == nullptr ||
      (!hasData && direction != EfiUsbNoData) ||
      (direction == EfiUsbNoData && (data != nullptr || dataLength != 0)) ||
      (hasData && (data == nullptr || dataLength == 0))) {
    return finish(EFI_INVALID_PARAMETER, std::nullopt);
  }
  if (dataLength > kMaxControlData) {
    platform_.Violation("UsbControlTransfer with DataLength " + std::to_string(dataLength) +
                        ", more than a control transfer carries");
    return finish(EFI_INVALID_PARAMETER, std::nullopt);
  }
  if (direction == EfiUsbDataOut) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    t.dataOut.assign(bytes, bytes + dataLength);
  }

  EFI_STATUS injected;
  uint32_t injectedUsb;
  if (InjectedFailure(t.index, t.setup, &injected, &injectedUsb)) {
    return finish(injected, injectedUsb);
  }

  t.reachedDevice = true;
  const usb::Setup setup{t.setup.RequestType, t.setup.Request, t.setup.Value, t.setup.Index,
                         t.setup.Length};
  const usb::Reply reply = ports_[interface.port].device->Control(setup, t.dataOut);
  if (reply.outcome == usb::Outcome::Stall) {
    return finish(EFI_DEVICE_ERROR, EFI_USB_ERR_STALL);
  }
  if (reply.outcome == usb::Outcome::Timeout) {
    // A device that is still there has let the host wait all of the time-out; one that has
    // just left (its power lost) ends the transfer at once, as the port's disconnect does.
    if (ports_[interface.port].device->Connected()) {
      platform_.TransferTime(uint64_t{timeoutMs} * 1000);
    }
    return finish(EFI_TIMEOUT, EFI_USB_ERR_TIMEOUT);
  }
  if (direction == EfiUsbDataIn) {
    // A short answer leaves the rest of Data as it was; the device never sends more than
    // wLength, the controller never delivers more than DataLength.
    size_t delivered = std::min({reply.data.size(), static_cast<size_t>(dataLength),
                                 static_cast<size_t>(t.setup.Length)});
    if (const auto it = shortenedAnswers_.find(t.index); it != shortenedAnswers_.end()) {
      delivered = std::min(delivered, it->second);
      shortenedAnswers_.erase(it);
    }
    bytesIn_ += delivered;
    if (recordTransfers_) {
      t.dataIn.assign(reply.data.begin(), reply.data.begin() + delivered);
    }
    if (delivered != 0) {
      std::memcpy(data, reply.data.data(), delivered);
    }
    // As EDK II's USB stack answers in OVMF under QEMU: a data stage shorter than asked for
    // fails the transfer with EFI_DEVICE_ERROR and no USB error bit; the bytes that did
    // arrive stay in Data. Other host controllers report such a transfer as a success.
    if (delivered < dataLength && shortAnswersFail_) {
      return finish(EFI_DEVICE_ERROR, EFI_USB_NOERROR);
    }
  }
  return finish(EFI_SUCCESS, EFI_USB_NOERROR);
}

// As EDK II: the port is reset and the device set to its configuration again. A device that
// does not come back as the same device leaves this instance stale.
EFI_STATUS UsbBus::PortReset(Interface &interface) {
  const uint8_t port = interface.port;
  const EFI_USB_IO_PROTOCOL *io = &interface.io;
  ports_[port].device->PortReset();
  Sync();
  if (Find(io) == nullptr || !Configure(port)) {  // the instance may be freed by now
    return EFI_DEVICE_ERROR;
  }
  return EFI_SUCCESS;
}

}  // namespace sim
