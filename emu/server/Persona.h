// The devices the camera server can put on the wire, chosen by name on its command line.
//
// A persona owns one usb::Device and says what to report about it at the end of a run.
// Each entry of the catalogue builds one from `--set name=value` options; the camera
// model's personas join the catalogue in Persona.cpp next to the test device.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "camera/UsbDevice.h"
#include "emu/server/StateFile.h"

namespace emu {

class Persona {
 public:
  virtual ~Persona();
  virtual usb::Device &Device() = 0;
  // Records of the persona's own state for the state file (stored data, flash contents,
  // received image); the server adds the device's identity and the request log itself.
  virtual void DescribeState(StateFile &state) const;
};

// The `--set name=value` options of one persona. Each value is read once; Finish() throws
// for any that no one read, so a misspelt option fails the run instead of being ignored.
class PersonaOptions {
 public:
  PersonaOptions() = default;
  explicit PersonaOptions(std::map<std::string, std::string> values);

  // Parses "name=value" and adds it; throws std::invalid_argument for a malformed or
  // repeated option.
  void Add(const std::string &assignment);

  // The value, or fallback when the option is absent. Numbers take C notation (0x1234,
  // 42) and must fit the limit given; throws std::invalid_argument otherwise.
  std::string Text(const std::string &name, const std::string &fallback);
  uint64_t Number(const std::string &name, uint64_t fallback, uint64_t limit);
  void Finish() const;

 private:
  std::map<std::string, std::string> values_;
  std::set<std::string> read_;
};

struct PersonaEntry {
  std::string name;
  std::string summary;  // one line for --list-personas
  // Builds the persona from its options and, when given, the state an earlier run left
  // (the device as it powers up again); throws std::invalid_argument for a persona that
  // keeps nothing across power-off.
  std::function<std::unique_ptr<Persona>(PersonaOptions &, const SavedState *)> make;
};

const std::vector<PersonaEntry> &PersonaCatalogue();

// Builds the named persona; throws std::invalid_argument for an unknown name, bad options
// or a saved state it cannot start from.
std::unique_ptr<Persona> MakePersona(const std::string &name, PersonaOptions options,
                                     const SavedState *saved = nullptr);

}  // namespace emu
