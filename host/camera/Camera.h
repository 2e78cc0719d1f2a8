// The camera model: one USB camera as its host sees it, with its failure modes as switches.
//
// Persona for now: the runtime UVC camera. It has a video-control interface 0 (VC header,
// camera terminal, processing unit, its extension units, output terminal, interrupt
// endpoint), a video-streaming interface 1 and, optionally, a DFU 1.1 run-time interface as
// the last interface. Its vendor protocol:
//   - the command channel on the camera's extension unit (the first one carrying
//     kCameraXuGuid), interface 0: SET_CUR of selector 10 takes an 8-byte command block,
//     GET_CUR of selector 11 returns the 8-byte answer the last block prepared;
//   - vendor requests to the device.
// Further personas (the flash hardware behind the update mode, the DFU ROM device) hang
// off the same class: Persona, the command and vendor dispatch below. The DFU side lives in
// camera/DfuPersona.cpp and camera/DfuRom.*: after the allow-update request a detach makes
// the camera the DFU ROM device (Persona::DfuRom), and DFU_DETACH to that device brings the
// camera back with the firmware it received. Power lives in camera/Power.cpp, which writes
// down the model's assumptions: what survives a power cut and what the camera starts.
//
// The model knows USB, not UEFI: the simulated platform and the usbredir server both carry
// it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/DfuRom.h"
#include "camera/FlashHardware.h"
#include "camera/UsbDevice.h"
#include "camera/Uvc.h"

namespace camera {

// ---------------------------------------------------------------- vendor protocol

constexpr uint8_t kCommandSelector = 10;  // SET_CUR: command block
constexpr uint8_t kAnswerSelector = 11;   // GET_CUR: answer
constexpr size_t kBlockLength = 8;
using Block = std::array<uint8_t, kBlockLength>;

constexpr uint8_t kBlockClassCommand = 0x00;
constexpr uint8_t kBlockClassRecovery = 0xFF;
constexpr uint8_t kCommandResetToDLFW = 0x09;
constexpr uint8_t kCommandGetInfo = 0xCD;
constexpr uint8_t kCommandGetDevQualify = 0xD0;

// Vendor requests (bmRequestType 0x40 out, 0xC0 in).
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;
constexpr uint8_t kRequestResetToUpdateFW = 0x01;
constexpr uint16_t kResetToUpdateFWValue = 2;
constexpr uint16_t kResetToUpdateFWIndex = 7;

// The device information: 80 bytes, served in ten 8-byte pieces.
constexpr size_t kInformationLength = 80;
constexpr size_t kPieceLength = 8;
using Information = std::array<uint8_t, kInformationLength>;

struct InformationFields {
  uint16_t chipVid = 0x3B5A;  // bytes 0-1, little-endian
  uint16_t chipId = 0x4C01;   // bytes 2-3, little-endian
  uint16_t fw = 0x0102;       // bytes 4-5, little-endian
  uint16_t hw = 0x0200;       // bytes 6-7, big-endian
  uint16_t rev = 0x0001;      // bytes 70-71, big-endian
};
// The information block with these fields; every other byte holds a filler pattern.
Information DeviceInformation(const InformationFields &fields = {});

// "VOSKARN" and a zero byte.
Block IdentificationAnswer();

// ---------------------------------------------------------------- configuration

struct ExtensionUnitInfo {
  uint8_t bUnitID;
  Guid guid;
};

struct Config {
  usb::DeviceInfo device{.idVendor = 0x3B5A, .idProduct = 0x4C15, .bcdDevice = 0x0102};
  uint16_t bcdUVC = 0x0150;
  // bInterfaceProtocol of both video interfaces; unset: 1 under UVC 1.5, 0 otherwise.
  std::optional<uint8_t> videoProtocol;
  // In descriptor order. The command channel answers on the first unit with kCameraXuGuid.
  std::vector<ExtensionUnitInfo> extensionUnits{{6, kCameraXuGuid}};
  // A DFU 1.1 run-time interface as the last interface (number 2).
  bool dfuInterface = false;
  // When set, the configuration the camera announces instead of the one built from the
  // fields above (for descriptors a test writes byte by byte).
  std::optional<std::vector<uint8_t>> configuration;

  Information information = DeviceInformation();
  Block identification = IdentificationAnswer();
  // How long the camera stays away after a restart.
  uint64_t restartDelayUs = 500'000;
  // Power (camera/Power.cpp): how long the camera takes from power-on to being on the bus,
  uint64_t powerUpDelayUs = 1'000'000;
  // and whether it powers on in the middle of a DFU download that was not ended, as its DFU
  // ROM device (a camera rebuilt from the state a power cut left).
  bool dfuDownloadUnfinished = false;
  // Flash path: the controller memory and flash chip behind the update mode.
  FlashConfig flash;
  // DFU path: the DFU ROM device the detach requests lead to (camera/DfuPersona.cpp).
  DfuConfig dfu;
};

// The configuration a camera with these settings announces.
std::vector<uint8_t> BuildConfiguration(const Config &config);

// ---------------------------------------------------------------- misbehaviour

// Decides on a request from its setup packet and OUT data.
using RequestFilter = std::function<bool(const usb::Setup &, const std::vector<uint8_t> &)>;

// SET_CUR of a command block, to any unit, whose byte 1 is this command code (with byte 0
// 0x00).
RequestFilter CommandBlock(uint8_t commandCode);
// SET_CUR of the information command for this piece.
RequestFilter InformationPiece(uint16_t piece);
// GET_CUR of the answer selector.
RequestFilter AnswerRead();
// Any request with this bmRequestType and bRequest.
RequestFilter Request(uint8_t bmRequestType, uint8_t bRequest);
// The DFU_DNLOAD of this block (wValue) with data.
RequestFilter DfuBlockDownload(uint16_t block);

struct StallRule {
  RequestFilter match;
  size_t skip = 0;  // matching requests let through first
  int times = -1;   // matching requests stalled after that; -1: all
};

// The camera loses power at a request before it answers it (camera/Power.cpp). Requests are
// counted as the camera receives them, the host's SET_CONFIGURATION at enumeration included.
struct PowerCutRule {
  RequestFilter match;  // unset: every request
  size_t skip = 0;      // matching requests answered first
};
// "TT.RR" or "TT.RR:N" (hex bmRequestType and bRequest, decimal N): power fails at the
// request of that type after N of them were answered. Unset when the text is not that.
std::optional<PowerCutRule> ParsePowerCut(const std::string &text);

struct Misbehaviour {
  // Requests stalled before the camera looks at them.
  std::vector<StallRule> stalls;
  // The camera runs its ROM code whatever its flash holds: the information command is
  // refused and the flash requests are served without update mode. (A camera whose flash is
  // untagged runs its ROM code anyway; see RunsRomCode.)
  bool romCode = false;
  // GET_CUR answers only this many bytes. Wrong answers: set Config::information or
  // Config::identification.
  std::optional<size_t> answerLength;
  // GET_DESCRIPTOR(configuration) answers these bytes instead of the announced configuration.
  std::optional<std::vector<uint8_t>> configurationAnswer;
  // GET_DESCRIPTOR(configuration) answers only this many bytes.
  std::optional<size_t> configurationAnswerLength;
  // DFU path: the ROM device's and the detaches' failure modes.
  DfuMisbehaviour dfu;
  // Power fails at this request; the rule is spent once it has fired.
  std::optional<PowerCutRule> powerCut;
};

// ---------------------------------------------------------------- the camera

class Camera : public usb::StandardDevice {
 public:
  enum class Persona { Runtime, DfuRom };
  enum class Mode { Running, Update };

  explicit Camera(Config config = {});

  // Settings take effect for descriptors at the next enumeration, for the protocol at once.
  Config &Settings() { return config_; }
  const Config &Settings() const { return config_; }
  Misbehaviour &Misbehave() { return misbehaviour_; }
  // Flash path: the hardware the flash requests reach, built from Config::flash.
  FlashHardware &Flash() { return flash_; }
  const FlashHardware &Flash() const { return flash_; }

  std::vector<uint8_t> DeviceDescriptor() const override;
  std::vector<uint8_t> ConfigurationDescriptor() const override;
  usb::Reply Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) override;
  void Advance(uint64_t nowUs) override;
  bool Connected() const override { return connected_; }
  uint32_t Generation() const override { return generation_; }

  Persona CurrentPersona() const { return persona_; }
  Mode CurrentMode() const { return mode_; }
  // Unit ID of the command channel: the first extension unit with kCameraXuGuid, if any.
  std::optional<uint8_t> CommandUnitId() const;

  // What the camera went through.
  const std::vector<Block> &CommandBlocks() const { return blocks_; }  // every block received
  size_t RecoveryBlocks() const { return recoveries_; }
  size_t ResetsToUpdateMode() const { return resetsToUpdate_; }
  size_t Restarts() const { return restarts_; }

  // DFU path (camera/DfuPersona.cpp). The DFU ROM device of the latest detach, if any.
  DfuRom *Rom() { return rom_.get(); }
  // Becomes the DFU ROM device at once, as a new device: a ROM device of its own on the bus.
  void BecomeDfuRom();
  bool UpdateAllowed() const { return updateAllowed_; }
  size_t DfuDetaches() const { return dfuDetaches_; }

  // Power (camera/Power.cpp, where the model's assumptions are written down).
  enum class Start { Firmware, RomCode, DfuRom };
  struct Boot {
    Start start;
    // The IDs the camera's firmware enumerates with; the DFU ROM device has its own.
    FirmwareIdentity identity;
    bool operator==(const Boot &) const = default;
  };
  // What the camera starts the next time it powers up or restarts, from what survives.
  Boot NextBoot() const;
  // Power fails now: the camera leaves the bus, loses what does not survive, and is back
  // Config::powerUpDelayUs later as NextBoot() says.
  void CutPower();
  // Power goes off and on at nowUs of a host clock that may have started anew (the
  // machine's next boot): the camera is on the bus at once as NextBoot() says.
  void PowerCycle(uint64_t nowUs);
  size_t PowerCuts() const { return powerCuts_; }
  // Untagged flash at the camera's last start, or Misbehaviour::romCode.
  bool RunsRomCode() const { return romCode_ || misbehaviour_.romCode; }
  // A DFU ROM device has taken blocks of a download that was not ended since.
  bool DfuDownloadUnfinished() const { return dfuDownload_ == DfuDownload::Unfinished; }

 protected:
  usb::Reply ClassOrVendor(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) override;
  // An ordinary command block (block class 0x00) the camera unit accepted for handling.
  virtual usb::Reply Command(const Block &block);
  // A vendor request to the device.
  virtual usb::Reply Vendor(const usb::Setup &setup, const std::vector<uint8_t> &dataOut);
  // Disconnects now and comes back after the restart delay as a new device, starting what
  // NextBoot() says.
  void Restart();

 private:
  bool Stalled(const usb::Setup &setup, const std::vector<uint8_t> &dataOut);
  usb::Reply ConfigurationAnswer(const usb::Setup &setup) const;
  usb::Reply CommandChannel(const usb::Setup &setup, const std::vector<uint8_t> &dataOut);

  Config config_;
  Misbehaviour misbehaviour_;
  Persona persona_ = Persona::Runtime;
  Mode mode_ = Mode::Running;
  std::optional<Block> pendingAnswer_;
  std::vector<Block> blocks_;
  size_t recoveries_ = 0;
  size_t resetsToUpdate_ = 0;
  size_t restarts_ = 0;
  std::vector<size_t> stallMatches_;  // per stall rule: matching requests seen

  bool connected_ = true;
  uint32_t generation_ = 0;
  uint64_t nowUs_ = 0;
  std::optional<uint64_t> reconnectAtUs_;

  // Flash path.
  FlashHardware flash_;

  // DFU path: the allow-update and detach requests, the ROM persona and the way back.
  std::optional<usb::Reply> DfuRequest(const usb::Setup &setup,
                                       const std::vector<uint8_t> &dataOut);
  void DfuDetach(Persona next, std::optional<FirmwareIdentity> identity, uint64_t delayUs,
                 bool comeBack);
  void DfuAdvance();
  std::unique_ptr<DfuRom> rom_;
  bool updateAllowed_ = false;
  size_t dfuDetaches_ = 0;
  std::optional<uint64_t> dfuReturnAtUs_;
  Persona dfuNextPersona_ = Persona::Runtime;
  std::optional<FirmwareIdentity> dfuNextIdentity_;

  // Power (camera/Power.cpp). What survives besides the flash: how far the latest DFU
  // download came, whether the firmware last started came by DFU, and the IDs in
  // config_.device.
  enum class DfuDownload { None, Unfinished, Ended };
  bool PowerFails(const usb::Setup &setup, const std::vector<uint8_t> &dataOut);
  void LosePower();
  void StartUp(const Boot &boot);
  void NoteDfuDownload();
  void NoteFlashErase(size_t erasesBefore);
  DfuDownload dfuDownload_ = DfuDownload::None;
  bool runsDfuImage_ = false;
  bool romCode_ = false;
  size_t powerCuts_ = 0;
  size_t powerCutMatches_ = 0;
  std::optional<uint64_t> powerUpAtUs_;
};

}  // namespace camera
