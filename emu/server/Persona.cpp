// The persona catalogue and the options every persona reads.
#include "emu/server/Persona.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "emu/server/CameraPersona.h"
#include "emu/server/TestDevice.h"

namespace emu {

Persona::~Persona() = default;

void Persona::DescribeState(StateFile &) const {}

PersonaOptions::PersonaOptions(std::map<std::string, std::string> values)
    : values_(std::move(values)) {}

void PersonaOptions::Add(const std::string &assignment) {
  const size_t equals = assignment.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw std::invalid_argument("option '" + assignment + "' is not name=value");
  }
  const std::string name = assignment.substr(0, equals);
  if (!values_.emplace(name, assignment.substr(equals + 1)).second) {
    throw std::invalid_argument("option '" + name + "' given twice");
  }
}

std::string PersonaOptions::Text(const std::string &name, const std::string &fallback) {
  read_.insert(name);
  const auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

uint64_t PersonaOptions::Number(const std::string &name, uint64_t fallback, uint64_t limit) {
  read_.insert(name);
  const auto it = values_.find(name);
  if (it == values_.end()) {
    return fallback;
  }
  const std::string &text = it->second;
  errno = 0;
  char *end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || text[0] == '-' || end != text.c_str() + text.size() || errno != 0 ||
      value > limit) {
    throw std::invalid_argument("option " + name + "=" + text + ": a number up to " +
                                std::to_string(limit) + " is expected");
  }
  return value;
}

void PersonaOptions::Finish() const {
  for (const auto &[name, value] : values_) {
    if (read_.find(name) == read_.end()) {
      throw std::invalid_argument("option '" + name + "' is not known to this persona");
    }
  }
}

namespace {

class TestDevicePersona : public Persona {
 public:
  explicit TestDevicePersona(TestDevice::Identity identity) : device_(identity) {}
  usb::Device &Device() override { return device_; }
  void DescribeState(StateFile &state) const override {
    state.Add("test-device", "returns=" + std::to_string(device_.Returns()) +
                                 " configuration=" +
                                 std::to_string(device_.ActiveConfiguration()) +
                                 " stored=" + HexBytes(device_.Stored()));
    state.AddBlob("stored", device_.Stored());
  }

 private:
  TestDevice device_;
};

std::unique_ptr<Persona> MakeTestDevice(PersonaOptions &options, const SavedState *saved) {
  if (saved != nullptr) {
    throw std::invalid_argument("test-device keeps nothing across power-off: no saved state");
  }
  TestDevice::Identity identity;
  identity.idVendor = static_cast<uint16_t>(options.Number("vid", identity.idVendor, 0xFFFF));
  identity.idProduct = static_cast<uint16_t>(options.Number("pid", identity.idProduct, 0xFFFF));
  identity.bcdDevice = static_cast<uint16_t>(options.Number("bcd", identity.bcdDevice, 0xFFFF));
  return std::make_unique<TestDevicePersona>(identity);
}

}  // namespace

const std::vector<PersonaEntry> &PersonaCatalogue() {
  static const std::vector<PersonaEntry> catalogue = {
      {"test-device",
       "plain USB 2.0 device with the emulator's test requests (options: vid, pid, bcd)",
       MakeTestDevice},
      {"camera-flash",
       "the camera on chip 0x4C01, without DFU: the flash path (options of every camera "
       "persona: vid, pid, bcd, chip, restart-delay-ms, detach-delay-ms, rom-detach-delay-ms, "
       "block-busy-ms, old-image-kib, rom-stall-block, rom-boots-incomplete, power-cut, "
       "power-up-delay-ms, dfu-download-unfinished)",
       [](PersonaOptions &o, const SavedState *s) {
         return MakeCameraPersona(CameraKind::Flash, o, s);
       }},
      {"camera-dfu-interface",
       "the camera with a DFU 1.1 run-time interface: the DFU path, mode 1",
       [](PersonaOptions &o, const SavedState *s) {
         return MakeCameraPersona(CameraKind::DfuInterface, o, s);
       }},
      {"camera-dfu-capable",
       "the camera on the DFU-capable chip 0x4C15: the DFU path, mode 2",
       [](PersonaOptions &o, const SavedState *s) {
         return MakeCameraPersona(CameraKind::DfuCapable, o, s);
       }},
      {"camera-other-ids",
       "the camera with product ID 0x9999, which no camera image names",
       [](PersonaOptions &o, const SavedState *s) {
         return MakeCameraPersona(CameraKind::OtherIds, o, s);
       }},
  };
  return catalogue;
}

std::unique_ptr<Persona> MakePersona(const std::string &name, PersonaOptions options,
                                     const SavedState *saved) {
  if (saved != nullptr && saved->persona != name) {
    throw std::invalid_argument("the saved state is of persona '" + saved->persona + "', not '" +
                                name + "'");
  }
  for (const PersonaEntry &entry : PersonaCatalogue()) {
    if (entry.name == name) {
      std::unique_ptr<Persona> persona = entry.make(options, saved);
      options.Finish();
      return persona;
    }
  }
  throw std::invalid_argument("no persona named '" + name + "' (see --list-personas)");
}

}  // namespace emu
