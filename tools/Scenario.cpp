#include "tools/Scenario.h"

#include <cstring>
#include <memory>

#include "camera/Camera.h"
#include "capsule/Capsule.h"
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

std::shared_ptr<camera::Camera> MakeCamera(Camera kind) {
  camera::Config config;
  switch (kind) {
    case Camera::DfuInterface:
      config.dfuInterface = true;
      break;
    case Camera::DfuCapable: {
      camera::InformationFields fields;
      fields.chipId = kDfuCapableChip;
      config.information = camera::DeviceInformation(fields);
      break;
    }
    case Camera::OtherIds:
      config.device.idProduct = 0x9999;
      break;
    default:
      break;
  }
  auto device = std::make_shared<camera::Camera>(config);
  if (kind == Camera::Stalling) {
    // Every class and vendor request: the camera is found by its descriptors, then silent.
    device->Misbehave().stalls.push_back(
        {[](const usb::Setup &setup, const std::vector<uint8_t> &) {
           return (setup.bmRequestType & 0x60) != 0;
         }});
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

bool HoldsImage(camera::Camera &device, Camera kind, const capfmt::Bytes &payload,
                std::string *state) {
  DeviceIdentity id = IdentityOf(device);
  char text[160];
  std::snprintf(text, sizeof text, "camera %04X:%04X bcdDevice %04X", id.vid, id.pid, id.bcd);
  *state = text;
  if (kind == Camera::Flash || kind == Camera::Stalling || kind == Camera::OtherIds) {
    std::vector<uint8_t> flash = device.Flash().Contents(0, payload.size());
    bool holds = flash == payload && device.Flash().Tagged();
    *state += holds ? ", flash holds the image" : ", flash does not hold the image";
    return holds;
  }
  const camera::DfuRom *rom = device.Rom();
  if (rom == nullptr || rom->Image().empty()) {
    *state += ", no image received by DFU";
    return false;
  }
  const std::vector<uint8_t> &received = rom->Image();
  bool prefix = received.size() <= payload.size() &&
                std::equal(received.begin(), received.end(), payload.begin());
  std::optional<camera::FirmwareIdentity> expected = camera::FirmwareIdentityOf(payload);
  bool back = expected && device.CurrentPersona() == camera::Camera::Persona::Runtime &&
              id.vid == expected->vid && id.pid == expected->pid && id.bcd == expected->version;
  std::snprintf(text, sizeof text, ", %zu bytes received by DFU%s, %s", received.size(),
                prefix ? "" : " (not the payload)",
                back ? "back with the new version" : "not back with the new version");
  *state += text;
  return prefix && back;
}

}  // namespace

bool ParsePath(const std::string &text, Path *path) {
  if (text == "hob") *path = Path::Hob;
  else if (text == "capsule-on-ram") *path = Path::CapsuleOnRam;
  else if (text == "insyde") *path = Path::Insyde;
  else return false;
  return true;
}

bool ParseCamera(const std::string &text, Camera *camera) {
  for (Camera c : {Camera::Flash, Camera::DfuInterface, Camera::DfuCapable, Camera::None,
                   Camera::OtherIds, Camera::Stalling}) {
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
  }
  return "?";
}

capfmt::Bytes SampleImage() {
  capfmt::Bytes payload(kSamplePayloadLength);
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

capfmt::Bytes SampleCapsule(Path path) {
  return path == Path::Insyde ? capfmt::MakeFmpCapsule(SampleImage())
                              : capfmt::MakeFvCapsule(SampleImage());
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

  std::shared_ptr<camera::Camera> device;
  if (options.camera != Camera::None) {
    device = MakeCamera(options.camera);
    platform.Usb().Attach(device);
  }
  Recorder recorder;
  recorder.onProgress = options.onProgress;
  if (options.progressProtocol) {
    platform.InstallProtocol(platform.CreateHandle(), gTarvelProgressProtocolGuid,
                             &recorder.protocol);
  }

  Outcome outcome;
  outcome.status = KvrFmpDriverEntry(platform.ImageHandle(), platform.SystemTable());
  outcome.progress = recorder.values;
  outcome.virtualUs = platform.NowUs();
  outcome.transfers = platform.Usb().Transfers().size();
  outcome.log = sim::CapturedLog();
  if (pKVFmpPrivateData != nullptr) {  // the record the driver keeps, as in firmware
    FreePool(pKVFmpPrivateData->pDescriptor);
    FreePool(pKVFmpPrivateData);
    pKVFmpPrivateData = nullptr;
  }
  outcome.poolBlocksLeft = platform.Pool().outstanding;

  if (device && found.usable()) {
    auto start = capsule.begin() + (ptrdiff_t)(found.imageOffset + found.headerSize);
    capfmt::Bytes payload(start, start + (ptrdiff_t)found.payloadLength);
    outcome.cameraHoldsImage = HoldsImage(*device, options.camera, payload, &outcome.cameraState);
  } else if (device) {
    outcome.cameraState = "the capsule holds no usable image";
  } else {
    outcome.cameraState = "no camera";
  }
  sim::ResetDriverState();
  return outcome;
}

}  // namespace scenario
