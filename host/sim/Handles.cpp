// The simulated handle database: handles and their protocols, HandleProtocol,
// LocateHandleBuffer, LocateProtocol, InstallProtocolInterface, OpenProtocol and
// CloseProtocol with EDK II's semantics, and ConnectController.
#include <algorithm>
#include <cstring>
#include <utility>

#include "sim/Sim.h"
#include "sim/Trap.h"

namespace sim {
namespace {

constexpr uint32_t kNativeInterface = 0;  // EFI_NATIVE_INTERFACE

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

Platform::Handle &Platform::HandleAt(EFI_HANDLE handle) {
  return const_cast<Handle &>(std::as_const(*this).HandleAt(handle));
}

const Platform::Handle &Platform::HandleAt(EFI_HANDLE handle) const {
  if (!IsHandle(handle)) {
    throw std::invalid_argument(PointerText(handle) + " is not a handle");
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
      Violation("LocateHandleBuffer ByRegisterNotify with search key " +
                PointerText(searchKey) + ": protocol notifications are not simulated");
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
    Violation("LocateProtocol with registration " + PointerText(registration) +
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

}  // namespace sim
