#include "tools/Scenario.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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
  for (const std::shared_ptr<usb::Device> &other : options.others) {
    platform.Usb().Attach(other);
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
  sim::ResetDriverState();
  return outcome;
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
