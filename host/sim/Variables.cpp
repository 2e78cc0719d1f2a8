// The simulated variable store: variables with attributes, GetVariable with the
// EFI_BUFFER_TOO_SMALL two-call protocol, and injected read failures.
#include <cstring>
#include <string>

#include "sim/Sim.h"

namespace sim {
namespace {

// Longest variable name GetVariable reads, in characters, before giving up on finding its NUL.
constexpr size_t kMaxVariableNameChars = 1024;

}  // namespace

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

std::optional<std::u16string> Platform::VariableName(const CHAR16 *name, const char *service) {
  size_t length = 0;
  while (length < kMaxVariableNameChars && name[length] != 0) {
    length++;
  }
  if (length == kMaxVariableNameChars) {
    Violation(std::string(service) + " with a name of more than " +
              std::to_string(kMaxVariableNameChars) + " characters, or one without its NUL");
    return std::nullopt;
  }
  return std::u16string(name, length);
}

// As EDK II's variable driver.
EFI_STATUS Platform::GetVariableService(const CHAR16 *name, const EFI_GUID *guid,
                                        uint32_t *attributes, UINTN *dataSize, void *data) {
  if (name == nullptr || guid == nullptr || dataSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const std::optional<std::u16string> key = VariableName(name, "GetVariable");
  if (!key) {
    return EFI_INVALID_PARAMETER;
  }
  variableReads_[*key]++;
  if (const auto failure = variableFailures_.find(*key); failure != variableFailures_.end()) {
    return failure->second;
  }
  if (key->empty()) {
    return EFI_NOT_FOUND;
  }
  const auto it = variables_.find(KeyOf(*key, *guid));
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

// As EDK II's variable driver, for the attributes a boot-service driver may give: a size of
// 0 or no access attribute deletes; a variable is rewritten only with the attributes it
// has; run-time access needs boot-service access.
EFI_STATUS Platform::SetVariableService(const CHAR16 *name, const EFI_GUID *guid,
                                        uint32_t attributes, UINTN dataSize, const void *data) {
  if (name == nullptr || guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const std::optional<std::u16string> key = VariableName(name, "SetVariable");
  if (!key || key->empty()) {
    return EFI_INVALID_PARAMETER;
  }
  variableWrites_[*key]++;
  constexpr uint32_t kKnown = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                              EFI_VARIABLE_RUNTIME_ACCESS;
  if ((attributes & ~kKnown) != 0 ||
      ((attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0 &&
       (attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0) ||
      (dataSize != 0 && data == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  for (const std::u16string &failing : {*key, std::u16string()}) {
    if (const auto failure = variableWriteFailures_.find(failing);
        failure != variableWriteFailures_.end()) {
      return failure->second;
    }
  }
  const auto it = variables_.find(KeyOf(*key, *guid));
  if (dataSize == 0 || (attributes & kKnown) == 0) {
    if (it == variables_.end()) {
      return EFI_NOT_FOUND;
    }
    variables_.erase(it);
    return EFI_SUCCESS;
  }
  if (it != variables_.end() && it->second.attributes != attributes) {
    return EFI_INVALID_PARAMETER;
  }
  const auto *bytes = static_cast<const uint8_t *>(data);
  variables_[KeyOf(*key, *guid)] = Variable{attributes, std::vector<uint8_t>(bytes, bytes + dataSize)};
  return EFI_SUCCESS;
}

void Platform::FailSetVariable(std::u16string name, EFI_STATUS status) {
  variableWriteFailures_[std::move(name)] = status;
}

size_t Platform::SetVariableCalls(const std::u16string &name) const {
  const auto it = variableWrites_.find(name);
  return it == variableWrites_.end() ? 0 : it->second;
}

std::optional<std::vector<uint8_t>> Platform::VariableData(const std::u16string &name,
                                                           const EFI_GUID &guid,
                                                           uint32_t *attributes) const {
  const auto it = variables_.find(KeyOf(name, guid));
  if (it == variables_.end()) {
    return std::nullopt;
  }
  if (attributes != nullptr) {
    *attributes = it->second.attributes;
  }
  return it->second.data;
}

std::vector<Platform::StoredVariable> Platform::NonVolatileVariables() const {
  std::vector<StoredVariable> stored;
  for (const auto &[key, variable] : variables_) {
    if ((variable.attributes & EFI_VARIABLE_NON_VOLATILE) == 0) {
      continue;
    }
    StoredVariable v{key.first, {}, variable.attributes, variable.data};
    std::memcpy(&v.guid, key.second.data(), sizeof v.guid);
    stored.push_back(std::move(v));
  }
  return stored;
}

void Platform::LoadNonVolatile(const std::vector<StoredVariable> &variables) {
  for (const StoredVariable &v : variables) {
    SetVariable(v.name, v.guid, v.attributes, v.data);
  }
}

}  // namespace sim
