#include "tools/Scenario.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

#include "camera/Camera.h"
#include "capsule/Capsule.h"
#include "dfu/Dfu.h"
#include "driver/Driver.h"
#include "platform/Platform.h"
#include "sim/Log.h"
#include "sim/Sim.h"

namespace scenario {
namespace {

constexpr uint16_t kSampleVid = 0x3B5A;
constexpr uint16_t kSamplePid = 0x4C15;
constexpr size_t kSamplePayloadLength = 128 * 1024;
constexpr uint16_t kDfuCapableChip = 0x4C15;

struct Recorder {
  TARVEL_PROGRESS_PROTOCOL protocol{&Update};  // first: This leads back to the recorder
  std::vector<UINTN> values;
  std::function<void(UINTN)> onProgress;
  static EFI_STATUS EFIAPI Update(TARVEL_PROGRESS_PROTOCOL *This, UINTN Percent) {
    auto *self = reinterpret_cast<Recorder *>(This);
    self->values.push_back(Percent);
    if (self->onProgress) self->onProgress(Percent);
    return EFI_SUCCESS;
  }
};

std::vector<uint8_t> AddressBytes(const void *p) {
  std::vector<uint8_t> bytes(8);
  uint64_t value = (uint64_t)(uintptr_t)p;
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

camera::Config ConfigOf(Camera kind) {
  camera::Config config;
  switch (kind) {
    case Camera::DfuInterface:
      config.dfuInterface = true;
      break;
    case Camera::DfuCapable:
    case Camera::DfuPartial:
    case Camera::DfuRom: {
      camera::InformationFields fields;
      fields.chipId = kDfuCapableChip;
      config.information = camera::DeviceInformation(fields);
      config.dfuDownloadUnfinished = kind == Camera::DfuRom;
      break;
    }
    case Camera::OtherIds:
      config.device.idProduct = 0x9999;
      break;
    default:
      break;
  }
  return config;
}

std::shared_ptr<camera::Camera> MakeCamera(const Options &options) {
  const camera::Config config = ConfigOf(options.camera);
  std::shared_ptr<camera::Camera> device = options.makeCamera
                                               ? options.makeCamera(config)
                                               : std::make_shared<camera::Camera>(config);
  if (!device) {
    throw std::invalid_argument("scenario: makeCamera made no camera");
  }
  if (options.camera == Camera::Stalling) {
    // Every class and vendor request: the camera is found by its descriptors, then silent.
    device->Misbehave().stalls.push_back(
        {[](const usb::Setup &setup, const std::vector<uint8_t> &) {
           return (setup.bmRequestType & 0x60) != 0;
         }});
  }
  if (options.camera == Camera::DfuPartial) {
    device->Misbehave().stalls.push_back(
        {camera::DfuBlockDownload(kPartialStallBlock), /*skip=*/0, /*times=*/1});
    device->Misbehave().dfu.bootsIncompleteImage = true;
  }
  if (options.adjustCamera) {
    options.adjustCamera(*device);
  }
  return device;
}

struct DeviceIdentity {
  uint16_t vid, pid, bcd;
};
DeviceIdentity IdentityOf(const camera::Camera &device) {
  std::vector<uint8_t> d = device.DeviceDescriptor();
  return {(uint16_t)(d[8] | d[9] << 8), (uint16_t)(d[10] | d[11] << 8),
          (uint16_t)(d[12] | d[13] << 8)};
}

// Whether a device that is not the camera was written or sent towards an update.
bool Written(camera::Camera &device) {
  const camera::DfuRom *rom = device.Rom();
  return device.UpdateAllowed() || device.DfuDetaches() != 0 || device.Flash().Erases() != 0 ||
         device.Flash().PagePrograms() != 0 || (rom != nullptr && !rom->Image().empty());
}

// One line on a device besides the camera: what it ends as and the requests that reached
// its port (class or vendor ones counted apart: those are the driver's, never the bus's).
std::string OtherState(usb::Device &device, uint8_t port, const std::vector<sim::Transfer> &log,
                       bool *written) {
  size_t requests = 0, classOrVendor = 0;
  for (const sim::Transfer &t : log) {
    if (t.port == port) {
      requests++;
      classOrVendor += (t.setup.RequestType & 0x60) != 0;
    }
  }
  char text[200];
  auto *cam = dynamic_cast<camera::Camera *>(&device);
  if (cam == nullptr) {
    std::snprintf(text, sizeof text, "port %u: requests %zu (class or vendor %zu)", port,
                  requests, classOrVendor);
    return text;
  }
  const DeviceIdentity id = IdentityOf(*cam);
  const camera::DfuRom *rom = cam->Rom();
  *written = Written(*cam);
  std::snprintf(text, sizeof text,
                "port %u: %04X:%04X bcdDevice %04X, %s, requests %zu (class or vendor %zu), "
                "%zu bytes received by DFU, flash %s; %s",
                port, id.vid, id.pid, id.bcd,
                cam->CurrentPersona() == camera::Camera::Persona::DfuRom ? "the DFU ROM device"
                                                                         : "runtime firmware",
                requests, classOrVendor, rom != nullptr ? rom->Image().size() : size_t{0},
                cam->Flash().Erases() + cam->Flash().PagePrograms() == 0 ? "untouched" : "written",
                *written ? "WRITTEN" : "left alone");
  return text;
}

std::string GuidText(const EFI_GUID &g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool ParseGuid(const std::string &text, EFI_GUID *guid) {
  if (text.size() != 36) return false;
  uint8_t bytes[16];
  size_t at = 0;
  for (size_t i = 0; i < 16; i++) {
    if (at == 8 || at == 13 || at == 18 || at == 23) {
      if (text[at++] != '-') return false;
    }
    if (!std::isxdigit((unsigned char)text[at]) || !std::isxdigit((unsigned char)text[at + 1])) {
      return false;
    }
    bytes[i] = (uint8_t)std::stoul(text.substr(at, 2), nullptr, 16);
    at += 2;
  }
  guid->Data1 =
      (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
  guid->Data2 = (uint16_t)(bytes[4] << 8 | bytes[5]);
  guid->Data3 = (uint16_t)(bytes[6] << 8 | bytes[7]);
  std::memcpy(guid->Data4, bytes + 8, 8);
  return true;
}

bool ParseHex(const std::string &text, std::vector<uint8_t> *bytes) {
  bytes->clear();
  if (text == "-") return true;
  if (text.empty() || text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    if (!std::isxdigit((unsigned char)text[i]) || !std::isxdigit((unsigned char)text[i + 1])) {
      return false;
    }
    bytes->push_back((uint8_t)std::stoul(text.substr(i, 2), nullptr, 16));
  }
  return true;
}

}  // namespace

bool ParsePath(const std::string &text, Path *path) {
  if (text == "hob") *path = Path::Hob;
  else if (text == "capsule-on-ram") *path = Path::CapsuleOnRam;
  else if (text == "insyde") *path = Path::Insyde;
  else return false;
  return true;
}

bool ParseOther(const std::string &text, Other *other) {
  if (text != Name(Other::OtherRom)) return false;
  *other = Other::OtherRom;
  return true;
}

const char *Name(Other other) {
  switch (other) {
    case Other::OtherRom: return "other-rom";
  }
  return "?";
}

std::shared_ptr<camera::Camera> MakeOther(Other other) {
  switch (other) {
    case Other::OtherRom: {
      camera::Config config = ConfigOf(Camera::DfuRom);
      config.device.idProduct = 0x9999;
      return std::make_shared<camera::Camera>(config);
    }
  }
  return nullptr;
}

bool ParseCamera(const std::string &text, Camera *camera) {
  for (Camera c : {Camera::Flash, Camera::DfuInterface, Camera::DfuCapable, Camera::None,
                   Camera::OtherIds, Camera::Stalling, Camera::DfuPartial, Camera::DfuRom}) {
    if (text == Name(c)) {
      *camera = c;
      return true;
    }
  }
  return false;
}

const char *Name(Path path) {
  switch (path) {
    case Path::Hob: return "hob";
    case Path::CapsuleOnRam: return "capsule-on-ram";
    case Path::Insyde: return "insyde";
  }
  return "?";
}

const char *Name(Camera camera) {
  switch (camera) {
    case Camera::Flash: return "flash";
    case Camera::DfuInterface: return "dfu-interface";
    case Camera::DfuCapable: return "dfu-capable";
    case Camera::None: return "none";
    case Camera::OtherIds: return "other-ids";
    case Camera::Stalling: return "stalling";
    case Camera::DfuPartial: return "dfu-partial";
    case Camera::DfuRom: return "dfu-rom";
  }
  return "?";
}

bool CameraHoldsPayload(camera::Camera &device, const capfmt::Bytes &payload,
                        std::string *state) {
  DeviceIdentity id = IdentityOf(device);
  char text[160];
  std::snprintf(text, sizeof text, "camera %04X:%04X bcdDevice %04X", id.vid, id.pid, id.bcd);
  std::string line = text;

  // The flash path: the payload from address 0 and a valid tag.
  const bool flash = payload.size() <= device.Flash().Contents().size() &&
                     device.Flash().Contents(0, payload.size()) == payload &&
                     device.Flash().Tagged();
  // The DFU path: the ROM device received exactly the bytes a DFU download sends of the
  // payload, and the camera is back with the identity the payload's version block names.
  bool dfu = false;
  const camera::DfuRom *rom = device.Rom();
  if (rom != nullptr && !rom->Image().empty()) {
    const std::vector<uint8_t> &received = rom->Image();
    const uint64_t length = DFUImageLength(payload.size());
    const int64_t sent = length <= DFU_MAX_TRANSFER_LENGTH
                             ? DFUTransferLength(payload.data(), static_cast<INT32>(length))
                             : -1;
    const bool whole = sent > 0 && received.size() == static_cast<uint64_t>(sent) &&
                       std::equal(received.begin(), received.end(), payload.begin());
    std::optional<camera::FirmwareIdentity> expected = camera::FirmwareIdentityOf(payload);
    const bool back = expected && device.CurrentPersona() == camera::Camera::Persona::Runtime &&
                      id.vid == expected->vid && id.pid == expected->pid &&
                      id.bcd == expected->version;
    dfu = whole && back;
    std::snprintf(text, sizeof text, ", %zu bytes received by DFU%s, %s", received.size(),
                  whole ? "" : " (not what DFU sends of the payload)",
                  back ? "back with the new version" : "not back with the new version");
    line += text;
  } else {
    line += ", no image received by DFU";
  }
  line += flash ? ", flash holds the image" : ", flash does not hold the image";
  if (state != nullptr) {
    *state = line;
  }
  return flash || dfu;
}

capfmt::Bytes SampleImage() { return SampleImage(kSamplePayloadLength); }

capfmt::Bytes SampleImage(size_t payloadLength) {
  capfmt::Bytes payload(payloadLength);
  uint32_t x = 0x2545F491;
  for (uint8_t &b : payload) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = (uint8_t)(x >> 8);
  }
  capfmt::VersionBlock block;
  block.chipId = kDfuCapableChip;
  block.vid = kSampleVid;
  block.pid = kSamplePid;
  block.version = 0x0101;
  capfmt::PutVersionBlock(payload, block);
  return capfmt::MakeImage(kSampleVid, kSamplePid, payload);
}

capfmt::Bytes SampleCapsule(Path path) { return SampleCapsule(path, kSamplePayloadLength); }

capfmt::Bytes SampleCapsule(Path path, size_t payloadLength) {
  const capfmt::Bytes image = SampleImage(payloadLength);
  return path == Path::Insyde ? capfmt::MakeFmpCapsule(image) : capfmt::MakeFvCapsule(image);
}

Outcome Run(const capfmt::Bytes &capsule, const Options &options) {
  // What the driver should find, read with its own location code before the run.
  capfmt::Inspection found = capfmt::Inspect(capsule, options.path == Path::Insyde);
  // The capsule lives where the platform put it: an aligned copy that outlives the run.
  std::vector<uint64_t> memory((capsule.size() + 7) / 8);
  std::memcpy(memory.data(), capsule.data(), capsule.size());

  sim::Platform platform;
  sim::ResetDriverState();
  sim::ClearCapturedLog();
  if (options.path == Path::Insyde) {
    platform.SetFirmwareVendor(u"INSYDE Corp.");
    const EFI_GUID guid = KV_CAPSULE_ADDRESS_VARIABLE_GUID;
    platform.SetVariable(KV_CAPSULE_ADDRESS_NAME, guid, EFI_VARIABLE_BOOTSERVICE_ACCESS,
                         AddressBytes(memory.data()));
  } else if (options.path == Path::Hob) {
    platform.InstallHobList(sim::HobListBuilder().Capsule((uintptr_t)memory.data(), capsule.size()));
  } else {
    platform.InstallHobList(sim::HobListBuilder());
    const EFI_GUID guid = EFI_CAPSULE_VENDOR_GUID;
    platform.SetVariable(KV_CAPSULE_ON_RAM_NAME, guid, EFI_VARIABLE_BOOTSERVICE_ACCESS,
                         AddressBytes(memory.data()));
  }

  platform.Usb().ShortAnswersFail(options.shortAnswersFail);
  platform.Usb().RecordTransfers(options.detailedRecord);
  platform.SetStallBudgetUs(options.stallBudgetUs);
  std::shared_ptr<camera::Camera> device;
  if (options.camera != Camera::None) {
    device = MakeCamera(options);
    platform.Usb().Attach(device);
  }
  std::vector<uint8_t> otherPorts;
  for (const std::shared_ptr<usb::Device> &other : options.others) {
    otherPorts.push_back(platform.Usb().Attach(other));
  }
  if (options.nonVolatile != nullptr) {
    platform.LoadNonVolatile(*options.nonVolatile);
  }
  if (options.setVariableFailure != EFI_SUCCESS) {
    platform.FailSetVariable(u"", options.setVariableFailure);
  }
  Recorder recorder;
  recorder.onProgress = options.onProgress;
  if (options.progressProtocol) {
    platform.InstallProtocol(platform.CreateHandle(), gTarvelProgressProtocolGuid,
                             &recorder.protocol);
  }
  if (options.beforeEntry) {
    options.beforeEntry(platform);
  }

  Outcome outcome;
  try {
    outcome.status = KvrFmpDriverEntry(platform.ImageHandle(), platform.SystemTable());
  } catch (const sim::TimeBudgetExceeded &) {
    outcome.returned = false;
    outcome.status = EFI_ABORTED;
  }
  outcome.progress = recorder.values;
  outcome.virtualUs = platform.NowUs();
  outcome.transferWaitUs = platform.TransferWaitUs();
  outcome.transferLog = platform.Usb().TakeTransfers();
  outcome.transfers = platform.Usb().TransferCount();
  outcome.bytesOut = platform.Usb().BytesOut();
  outcome.bytesIn = platform.Usb().BytesIn();
  if (options.detailedRecord) {
    outcome.stalls = platform.Stalls();
  }
  outcome.log = sim::TakeCapturedLog();
  if (options.nonVolatile != nullptr) {
    *options.nonVolatile = platform.NonVolatileVariables();
  }
  if (pKVFmpPrivateData != nullptr) {  // the record the driver keeps, as in firmware
    // Freed only when they are the driver's pool blocks: a record the run left half-made
    // shows up as a violation rather than a free of something else.
    if (platform.IsLiveAllocation(pKVFmpPrivateData)) {
      if (platform.IsLiveAllocation(pKVFmpPrivateData->pDescriptor)) {
        FreePool(pKVFmpPrivateData->pDescriptor);
      }
      FreePool(pKVFmpPrivateData);
    }
    pKVFmpPrivateData = nullptr;
  }
  const sim::Platform::PoolStats pool = platform.Pool();
  outcome.poolBlocksLeft = pool.outstanding;
  outcome.allocations = pool.calls;
  if (options.detailedRecord) {
    outcome.allocationSizes = platform.AllocationSizes();
  }
  outcome.peakPoolBytes = pool.peakBytes;
  outcome.poolLeaks = platform.Leaks();
  outcome.violations = platform.Violations();

  if (device && found.usable()) {
    auto start = capsule.begin() + (ptrdiff_t)(found.imageOffset + found.headerSize);
    capfmt::Bytes payload(start, start + (ptrdiff_t)found.payloadLength);
    outcome.cameraHoldsImage = CameraHoldsPayload(*device, payload, &outcome.cameraState);
  } else if (device) {
    outcome.cameraState = "the capsule holds no usable image";
  } else {
    outcome.cameraState = "no camera";
  }
  for (size_t i = 0; i < options.others.size(); i++) {
    bool written = false;
    outcome.othersState.push_back(
        OtherState(*options.others[i], otherPorts[i], outcome.transferLog, &written));
    outcome.otherWritten = outcome.otherWritten || written;
  }
  sim::ResetDriverState();
  return outcome;
}

bool VariablesText(const std::vector<sim::Platform::StoredVariable> &variables,
                   std::string *text, std::string *error) {
  std::string out = "kvr-variables 1\n";
  for (const sim::Platform::StoredVariable &v : variables) {
    std::string name;
    for (const char16_t c : v.name) {
      if (c <= u' ' || c > u'~' || c == u'=') {
        *error = "a variable name of other than printable ASCII (or with '=') cannot be written";
        return false;
      }
      name.push_back((char)c);
    }
    char attributes[16];
    std::snprintf(attributes, sizeof attributes, "0x%08X", v.attributes);
    out += "variable guid=" + GuidText(v.guid) + " name=" + name + " attributes=" + attributes +
           " data=";
    static const char kDigits[] = "0123456789abcdef";
    for (const uint8_t b : v.data) {
      out.push_back(kDigits[b >> 4]);
      out.push_back(kDigits[b & 15]);
    }
    if (v.data.empty()) out += "-";
    out += "\n";
  }
  *text = out + "end\n";
  return true;
}

bool ParseVariables(const std::string &text,
                    std::vector<sim::Platform::StoredVariable> *variables, std::string *error) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  if (lines.size() < 2 || lines.front() != "kvr-variables 1" || lines.back() != "end") {
    *error = "not a whole variable store (kvr-variables 1 ... end)";
    return false;
  }
  variables->clear();
  for (size_t i = 1; i + 1 < lines.size(); i++) {
    const std::string &line = lines[i];
    std::map<std::string, std::string> fields;
    size_t at = line.find(' ');
    if (line.substr(0, at) != "variable") {
      *error = "line " + std::to_string(i + 1) + ": not a variable record";
      return false;
    }
    while (at != std::string::npos) {
      const size_t next = line.find(' ', at + 1);
      const std::string word = line.substr(at + 1, next == std::string::npos ? std::string::npos
                                                                              : next - at - 1);
      const size_t equals = word.find('=');
      if (equals == std::string::npos) {
        *error = "line " + std::to_string(i + 1) + ": '" + word + "' is not name=value";
        return false;
      }
      fields[word.substr(0, equals)] = word.substr(equals + 1);
      at = next;
    }
    sim::Platform::StoredVariable v;
    char *end = nullptr;
    const std::string &attributes = fields["attributes"];
    const unsigned long value = std::strtoul(attributes.c_str(), &end, 16);
    if (!ParseGuid(fields["guid"], &v.guid) || fields["name"].empty() || attributes.empty() ||
        end != attributes.c_str() + attributes.size() || value > 0xFFFFFFFFul ||
        !ParseHex(fields["data"], &v.data)) {
      *error = "line " + std::to_string(i + 1) + ": guid, name, attributes or data not understood";
      return false;
    }
    v.attributes = (uint32_t)value;
    v.name.assign(fields["name"].begin(), fields["name"].end());
    variables->push_back(std::move(v));
  }
  return true;
}

namespace {

int32_t CaptureStatus(const sim::Transfer &t) {
  if (t.status == EFI_SUCCESS) {
    return usbcap::kStatusOk;
  }
  if ((t.usbStatus & EFI_USB_ERR_STALL) != 0) {
    return usbcap::kStatusStall;
  }
  if ((t.usbStatus & EFI_USB_ERR_TIMEOUT) != 0 || t.status == EFI_TIMEOUT) {
    return usbcap::kStatusTimedOut;
  }
  if (!t.reachedDevice) {
    return (t.usbStatus & EFI_USB_ERR_SYSTEM) != 0 ? usbcap::kStatusNoDevice
                                                   : usbcap::kStatusInvalid;
  }
  if (t.direction == EfiUsbDataIn && t.dataIn.size() < t.dataLength) {
    return usbcap::kStatusShort;
  }
  return usbcap::kStatusProtocol;
}

}  // namespace

std::vector<usbcap::ControlTransfer> CaptureOf(const std::vector<sim::Transfer> &transfers) {
  std::vector<usbcap::ControlTransfer> capture;
  capture.reserve(transfers.size());
  for (const sim::Transfer &t : transfers) {
    usbcap::ControlTransfer c;
    c.submittedUs = c.completedUs = t.timeUs;
    c.address = t.address;
    c.setup = usb::Setup{t.setup.RequestType, t.setup.Request, t.setup.Value, t.setup.Index,
                         t.setup.Length};
    c.dataOut = t.dataOut;
    c.dataIn = t.dataIn;
    c.status = CaptureStatus(t);
    capture.push_back(std::move(c));
  }
  return capture;
}

}  // namespace scenario
