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

}  // namespace sim
