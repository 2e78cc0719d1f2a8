// The camera model: descriptors, the extension-unit command channel, vendor requests,
// restarts and misbehaviour.
#include "camera/Camera.h"

#include <algorithm>

namespace camera {
namespace {

constexpr uint8_t kRequestTypeSetInterface = usb::kTypeClass | usb::kRecipientInterface;
constexpr uint8_t kRequestTypeGetInterface =
    usb::kDirectionIn | usb::kTypeClass | usb::kRecipientInterface;

// Entity IDs of the fixed units; extension units take IDs from the configuration.
constexpr uint8_t kCameraTerminalId = 1;
constexpr uint8_t kProcessingUnitId = 2;
constexpr uint8_t kOutputTerminalId = 3;
constexpr uint8_t kVideoControlInterface = 0;
constexpr uint8_t kStreamingInterface = 1;
constexpr uint8_t kDfuInterface = 2;
constexpr uint8_t kInterruptEndpoint = 0x83;
constexpr uint8_t kBulkEndpoint = 0x81;

uint16_t ReadU16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

bool IsCommandSetCur(const usb::Setup &setup) {
  return setup.bmRequestType == kRequestTypeSetInterface && setup.bRequest == uvc::kSetCur &&
         (setup.wValue >> 8) == kCommandSelector;
}

usb::Reply Truncated(std::vector<uint8_t> bytes, size_t length) {
  if (bytes.size() > length) {
    bytes.resize(length);
  }
  return usb::Ack(std::move(bytes));
}

}  // namespace

Information DeviceInformation(const InformationFields &fields) {
  Information info{};
  for (size_t i = 0; i < info.size(); i++) {
    info[i] = static_cast<uint8_t>(0xA5 ^ (i * 13));
  }
  info[0] = static_cast<uint8_t>(fields.chipVid & 0xFF);
  info[1] = static_cast<uint8_t>(fields.chipVid >> 8);
  info[2] = static_cast<uint8_t>(fields.chipId & 0xFF);
  info[3] = static_cast<uint8_t>(fields.chipId >> 8);
  info[4] = static_cast<uint8_t>(fields.fw & 0xFF);
  info[5] = static_cast<uint8_t>(fields.fw >> 8);
  info[6] = static_cast<uint8_t>(fields.hw >> 8);
  info[7] = static_cast<uint8_t>(fields.hw & 0xFF);
  info[70] = static_cast<uint8_t>(fields.rev >> 8);
  info[71] = static_cast<uint8_t>(fields.rev & 0xFF);
  return info;
}

Block IdentificationAnswer() { return {'V', 'O', 'S', 'K', 'A', 'R', 'N', 0}; }

std::vector<uint8_t> BuildConfiguration(const Config &config) {
  if (config.configuration) {
    return *config.configuration;
  }
  const uint8_t protocol = config.videoProtocol.value_or(
      config.bcdUVC == 0x0150 ? uvc::kProtocol15 : uvc::kProtocolUndefined);

  // Units chained camera terminal -> processing unit -> extension units -> output terminal.
  std::vector<std::vector<uint8_t>> units;
  units.push_back(uvc::CameraTerminal(kCameraTerminalId));
  units.push_back(uvc::ProcessingUnit(kProcessingUnitId, kCameraTerminalId));
  uint8_t source = kProcessingUnitId;
  for (const ExtensionUnitInfo &unit : config.extensionUnits) {
    units.push_back(uvc::ExtensionUnit(unit.bUnitID, unit.guid, source));
    source = unit.bUnitID;
  }
  units.push_back(uvc::StreamingOutputTerminal(kOutputTerminalId, source));
  size_t unitsLength = 0;
  for (const auto &unit : units) {
    unitsLength += unit.size();
  }

  std::vector<std::vector<uint8_t>> descriptors;
  descriptors.push_back(uvc::InterfaceAssociation(kVideoControlInterface, 2));
  descriptors.push_back(usb::InterfaceDescriptor(kVideoControlInterface, 0, 1, uvc::kClassVideo,
                                                 uvc::kSubclassVideoControl, protocol));
  descriptors.push_back(
      uvc::VcHeader(config.bcdUVC, static_cast<uint16_t>(unitsLength), kStreamingInterface));
  descriptors.insert(descriptors.end(), units.begin(), units.end());
  descriptors.push_back(usb::EndpointDescriptor(kInterruptEndpoint, 0x03, 16, 8));
  descriptors.push_back(uvc::InterruptEndpointCs(16));

  descriptors.push_back(usb::InterfaceDescriptor(kStreamingInterface, 0, 1, uvc::kClassVideo,
                                                 uvc::kSubclassVideoStreaming, protocol));
  for (auto &descriptor : uvc::MjpegStreaming(kBulkEndpoint, kOutputTerminalId)) {
    descriptors.push_back(std::move(descriptor));
  }
  descriptors.push_back(usb::EndpointDescriptor(kBulkEndpoint, 0x02, 512, 0));

  if (config.dfuInterface) {
    descriptors.push_back(usb::InterfaceDescriptor(kDfuInterface, 0, 0,
                                                   dfu::kClassApplicationSpecific,
                                                   dfu::kSubclassDfu, dfu::kProtocolRuntime));
    descriptors.push_back(dfu::Functional(0x0B, 5000, 4096));
  }
  return usb::Configuration(usb::ConfigurationInfo{}, descriptors);
}

// ---------------------------------------------------------------- request filters

RequestFilter CommandBlock(uint8_t commandCode) {
  return [commandCode](const usb::Setup &setup, const std::vector<uint8_t> &data) {
    return IsCommandSetCur(setup) && data.size() >= 2 && data[0] == kBlockClassCommand &&
           data[1] == commandCode;
  };
}

RequestFilter InformationPiece(uint16_t piece) {
  return [piece](const usb::Setup &setup, const std::vector<uint8_t> &data) {
    return IsCommandSetCur(setup) && data.size() >= 4 && data[0] == kBlockClassCommand &&
           data[1] == kCommandGetInfo && ReadU16(&data[2]) == piece;
  };
}

RequestFilter AnswerRead() {
  return [](const usb::Setup &setup, const std::vector<uint8_t> &) {
    return setup.bmRequestType == kRequestTypeGetInterface && setup.bRequest == uvc::kGetCur &&
           (setup.wValue >> 8) == kAnswerSelector;
  };
}

RequestFilter Request(uint8_t bmRequestType, uint8_t bRequest) {
  return [bmRequestType, bRequest](const usb::Setup &setup, const std::vector<uint8_t> &) {
    return setup.bmRequestType == bmRequestType && setup.bRequest == bRequest;
  };
}

RequestFilter DfuBlockDownload(uint16_t block) {
  return [block](const usb::Setup &setup, const std::vector<uint8_t> &) {
    return setup.bmRequestType == dfu::kRequestTypeOut && setup.bRequest == dfu::kDnload &&
           setup.wValue == block && setup.wLength != 0;
  };
}

// ---------------------------------------------------------------- the camera

Camera::Camera(Config config)
    : config_(std::move(config)), flash_(config_.flash), romCode_(!config_.flash.tagged) {
  if (config_.dfuDownloadUnfinished) {
    dfuDownload_ = DfuDownload::Unfinished;
    persona_ = Persona::DfuRom;
    rom_ = std::make_unique<DfuRom>(config_.dfu, misbehaviour_.dfu, nowUs_);
  }
}

std::vector<uint8_t> Camera::DeviceDescriptor() const {
  if (persona_ == Persona::DfuRom) {
    return rom_->DeviceDescriptor();
  }
  return usb::DeviceDescriptorBytes(config_.device);
}

std::vector<uint8_t> Camera::ConfigurationDescriptor() const {
  if (persona_ == Persona::DfuRom) {
    return rom_->ConfigurationDescriptor();
  }
  return BuildConfiguration(config_);
}

std::optional<uint8_t> Camera::CommandUnitId() const {
  for (const ExtensionUnitInfo &unit : config_.extensionUnits) {
    if (unit.guid == kCameraXuGuid) {
      return unit.bUnitID;
    }
  }
  return std::nullopt;
}

bool Camera::Stalled(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) {
  stallMatches_.resize(misbehaviour_.stalls.size(), 0);
  bool stall = false;
  for (size_t i = 0; i < misbehaviour_.stalls.size(); i++) {
    const StallRule &rule = misbehaviour_.stalls[i];
    if (!rule.match || !rule.match(setup, dataOut)) {
      continue;
    }
    const size_t seen = stallMatches_[i]++;
    if (seen >= rule.skip &&
        (rule.times < 0 || seen - rule.skip < static_cast<size_t>(rule.times))) {
      stall = true;
    }
  }
  return stall;
}

usb::Reply Camera::Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) {
  if (PowerFails(setup, dataOut)) {
    CutPower();
    return usb::Reply{usb::Outcome::Timeout, {}};
  }
  if (Stalled(setup, dataOut)) {
    if (IsCommandSetCur(setup)) {
      pendingAnswer_.reset();
    }
    return usb::Stall();
  }
  const bool getConfiguration = setup.bmRequestType == usb::kDirectionIn &&
                                setup.bRequest == usb::kGetDescriptor &&
                                (setup.wValue >> 8) == usb::kConfigurationDescriptorType;
  if (getConfiguration &&
      (misbehaviour_.configurationAnswer || misbehaviour_.configurationAnswerLength)) {
    return ConfigurationAnswer(setup);
  }
  return StandardDevice::Control(setup, dataOut);
}

usb::Reply Camera::ConfigurationAnswer(const usb::Setup &setup) const {
  if ((setup.wValue & 0xFF) != 0) {
    return usb::Stall();  // one configuration, index 0
  }
  std::vector<uint8_t> bytes =
      misbehaviour_.configurationAnswer.value_or(ConfigurationDescriptor());
  size_t length = setup.wLength;
  if (misbehaviour_.configurationAnswerLength) {
    length = std::min(length, *misbehaviour_.configurationAnswerLength);
  }
  return Truncated(std::move(bytes), length);
}

usb::Reply Camera::ClassOrVendor(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) {
  // DFU path: the ROM persona, the allow-update and detach requests.
  if (std::optional<usb::Reply> reply = DfuRequest(setup, dataOut)) {
    return *std::move(reply);
  }
  const uint8_t type = setup.bmRequestType & usb::kTypeMask;
  if (type == usb::kTypeVendor &&
      (setup.bmRequestType & usb::kRecipientMask) == usb::kRecipientDevice) {
    return Vendor(setup, dataOut);
  }
  if (type == usb::kTypeClass &&
      (setup.bmRequestType & usb::kRecipientMask) == usb::kRecipientInterface) {
    return CommandChannel(setup, dataOut);
  }
  return usb::Stall();
}

// The camera unit on interface 0: wIndex = unit << 8 | 0.
usb::Reply Camera::CommandChannel(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) {
  const std::optional<uint8_t> unit = CommandUnitId();
  if (!unit || setup.wIndex != (static_cast<uint16_t>(*unit) << 8 | kVideoControlInterface) ||
      (setup.wValue & 0xFF) != 0) {
    return usb::Stall();
  }
  if (IsCommandSetCur(setup)) {
    pendingAnswer_.reset();
    if (setup.wLength != kBlockLength || dataOut.size() != kBlockLength) {
      return usb::Stall();
    }
    Block block;
    std::copy(dataOut.begin(), dataOut.end(), block.begin());
    blocks_.push_back(block);
    switch (block[0]) {
      case kBlockClassRecovery:
        recoveries_++;
        return usb::Ack();
      case kBlockClassCommand:
        return Command(block);
      default:
        return usb::Stall();
    }
  }
  if (AnswerRead()(setup, dataOut)) {
    if (!pendingAnswer_) {
      return usb::Stall();  // no command asked for data
    }
    return Truncated(
        std::vector<uint8_t>(pendingAnswer_->begin(), pendingAnswer_->end()),
        std::min<size_t>(setup.wLength, misbehaviour_.answerLength.value_or(kBlockLength)));
  }
  return usb::Stall();
}

usb::Reply Camera::Command(const Block &block) {
  switch (block[1]) {
    case kCommandGetInfo: {
      const uint16_t piece = ReadU16(&block[2]);
      const uint16_t length = ReadU16(&block[4]);
      if (RunsRomCode() || length != kPieceLength ||
          piece >= kInformationLength / kPieceLength) {
        return usb::Stall();
      }
      Block answer;
      std::copy_n(config_.information.begin() + piece * kPieceLength, kPieceLength, answer.begin());
      pendingAnswer_ = answer;
      return usb::Ack();
    }
    case kCommandGetDevQualify:
      pendingAnswer_ = config_.identification;
      return usb::Ack();
    case kCommandResetToDLFW:
      Restart();
      return usb::Ack();
    default:
      return usb::Stall();
  }
}

usb::Reply Camera::Vendor(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) {
  // Flash path: memory, flash and status-register requests reach the flash hardware in
  // update mode and while the camera runs its ROM code; the running firmware refuses them.
  if (FlashHardware::Serves(setup)) {
    if (mode_ != Mode::Update && !RunsRomCode()) {
      return usb::Stall();
    }
    const size_t erases = flash_.Erases();
    usb::Reply reply = flash_.Control(setup, dataOut);
    NoteFlashErase(erases);
    return reply;
  }
  if (setup.bmRequestType == kVendorOut && setup.bRequest == kRequestResetToUpdateFW &&
      setup.wValue == kResetToUpdateFWValue && setup.wIndex == kResetToUpdateFWIndex &&
      setup.wLength == 0) {
    // The camera restarts into its update mode and stays on the bus as the same device.
    resetsToUpdate_++;
    mode_ = Mode::Update;
    pendingAnswer_.reset();
    return usb::Ack();
  }
  return usb::Stall();
}

void Camera::Restart() {
  restarts_++;
  connected_ = false;
  pendingAnswer_.reset();
  reconnectAtUs_ = nowUs_ + config_.restartDelayUs;
}

void Camera::Advance(uint64_t nowUs) {
  nowUs_ = nowUs;
  if ((reconnectAtUs_ && nowUs_ >= *reconnectAtUs_) || (powerUpAtUs_ && nowUs_ >= *powerUpAtUs_)) {
    StartUp(NextBoot());
  }
  DfuAdvance();
}

}  // namespace camera
