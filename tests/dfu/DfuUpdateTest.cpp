// The DFU update procedure end to end: a camera detached into its ROM device, updated and
// back with the new version; the version block and image size table; the waits for the
// ROM device and for the camera.
#include "dfu/DfuFixture.h"
#include "sim/Log.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const capfmt::VersionBlock kNewFirmware{
    .offset = 0x1300, .chipId = 0x4C15, .vid = 0x3B5A, .pid = 0x4C15, .version = 0x0203};

class DfuUpdateTest : public DfuTest {
 protected:
  std::shared_ptr<camera::Camera> AttachCamera(bool dfuInterface) {
    camera::Config config;
    config.dfuInterface = dfuInterface;
    return Attach(config);
  }
  EFI_STATUS Update(EFI_USB_IO_PROTOCOL *io, UINT16 mode, UINT16 interfaceNumber) {
    return DFUFwDownload(io, mode, interfaceNumber, payload.data(), payload.size(), &progress, Target());
  }
  size_t Looks() const {
    std::vector<std::string> log = Log();
    return std::count_if(log.begin(), log.end(), [](const std::string &line) {
      return line.rfind("Nunber of USB Handle is ", 0) == 0;
    });
  }
  void ExpectBackWith(const camera::Camera &cam, uint16_t vid, uint16_t pid, uint16_t bcd) {
    EXPECT_EQ(cam.CurrentPersona(), camera::Camera::Persona::Runtime);
    EXPECT_EQ(cam.Settings().device.idVendor, vid);
    EXPECT_EQ(cam.Settings().device.idProduct, pid);
    EXPECT_EQ(cam.Settings().device.bcdDevice, bcd);
  }

  capfmt::Bytes payload = DfuPayload(126992, kNewFirmware);
};

// ---------------------------------------------------------------- end to end

TEST_F(DfuUpdateTest, DfuCapableCameraIsUpdatedThroughItsRomDevice) {
  auto cam = AttachCamera(false);
  EFI_USB_IO_PROTOCOL *io = Io();
  ASSERT_EQ(Update(io, 2, 0), EFI_SUCCESS);

  EXPECT_EQ(cam->Rom()->Image(), capfmt::Bytes(payload.begin(), payload.begin() + 126976));
  EXPECT_TRUE(cam->Rom()->Manifested());
  ExpectBackWith(*cam, 0x3B5A, 0x4C15, 0x0203);
  EXPECT_THAT(progress.percents,
              ElementsAreArray(Join(Join({2}, Steps(5, 3, 95)), {98, 98, 100, 100})));

  std::vector<WireRequest> wire = Wire();
  EXPECT_THAT(std::vector<WireRequest>(wire.begin(), wire.begin() + 2),
              ElementsAre(WireRequest{0x00, 0x1B, 1, 0, 0, EfiUsbNoData, 5000},
                          WireRequest{0x40, 0x50, 0, 0, 0, EfiUsbNoData, 5000}));
  EXPECT_EQ(wire.back(), (WireRequest{0x21, 0x00, 0x5000, 0, 0, EfiUsbNoData, 5000}));
  EXPECT_EQ(Transfers()[2].port, Port());  // the camera's port, now its ROM device

  std::vector<std::string> log = Log();
  EXPECT_THAT(std::vector<std::string>(log.begin(), log.begin() + 6),
              ElementsAre("DFUFwDownload() =>\r\n", "Image size is OK\r\n",
                          "Prepare to write FW. The new FW : VID = 3b5a, PID = 4c15, FWVersion "
                          "= 203\r\n",
                          "USBIO = " + Hex32(io) + "\r\n", "DFUAllowUpdateFW_4C15 OK\r\n",
                          "DetachHideDFU_4C15 OK\r\n"));
  EXPECT_TRUE(HasRun(
      log, {"Find DFU VID/PID = 3B5A/4C00\r\n", "Idle\r\n", "Transfer Length : 126976.\r\n"}));
  EXPECT_EQ(log.back(), "DFUFwDownload OK() <=\r\n");
}

TEST_F(DfuUpdateTest, CameraWithDfuInterfaceIsDetachedThroughIt) {
  auto cam = AttachCamera(true);
  payload = DfuPayload(151568, kNewFirmware);
  EFI_USB_IO_PROTOCOL *dfuInterface = Io(2);
  ASSERT_EQ(Update(dfuInterface, 1, 2), EFI_SUCCESS);

  EXPECT_EQ(cam->Rom()->Image(), capfmt::Bytes(payload.begin(), payload.begin() + 151552));
  ExpectBackWith(*cam, 0x3B5A, 0x4C15, 0x0203);
  EXPECT_THAT(progress.percents,
              ElementsAreArray(Join(Join({2}, Steps(4, 2, 76)), {98, 98, 100, 100})));
  std::vector<WireRequest> wire = Wire();
  EXPECT_THAT(std::vector<WireRequest>(wire.begin(), wire.begin() + 2),
              ElementsAre(WireRequest{0x00, 0x1B, 1, 0, 0, EfiUsbNoData, 5000},
                          WireRequest{0x21, 0x00, 5000, 2, 0, EfiUsbNoData, 5000}));
  EXPECT_EQ(Transfers()[1].interfaceNumber, 2);
  EXPECT_TRUE(HasRun(Log(), {"VendorSetCmd DetachDFU_4C15 OK!!\r\n"}));
  EXPECT_EQ(P.Stalls().front(), 100000u);  // the settle time, then the first look
}

TEST_F(DfuUpdateTest, WithoutCameraInterfaceOnlyTheRomDeviceIsAddressed) {
  auto rom = AttachRom();
  ASSERT_EQ(DFUFwDownload(nullptr, 2, 0, payload.data(), payload.size(), &progress, Target()), EFI_SUCCESS);
  EXPECT_EQ(Count(WireRequest{0x00, 0x1B, 1, 0, 0, EfiUsbNoData, 5000}), 0u);
  EXPECT_EQ(Wire().front(), GetStatusRequest());
  EXPECT_EQ(progress.percents.front(), 2u);
  ExpectBackWith(*rom, 0x3B5A, 0x4C15, 0x0203);
}

// ---------------------------------------------------------------- version block, size table

TEST_F(DfuUpdateTest, VersionBlockIsTheFirstCandidateThatHoldsBothSignatures) {
  FwVersionBlock block;
  UINT32 offset = 0;
  capfmt::Bytes both = DfuPayload(20000, {.offset = 0x300, .pid = 0x0300});
  capfmt::PutVersionBlock(both, {.offset = 0x1300, .pid = 0x1300});
  both[0x1300 + 1] = 0xEE;  // not examined
  ASSERT_TRUE(FindFwVersionBlock(both.data(), both.size(), &block, &offset));
  EXPECT_EQ(offset, 0x1300u);
  EXPECT_EQ(block.wPID, 0x1300);

  capfmt::Bytes last = DfuPayload(0x3000 + 20, {.offset = 0x3000});
  last[0x2000] = 0x31;  // one signature is not enough
  ASSERT_TRUE(FindFwVersionBlock(last.data(), last.size(), &block, &offset));
  EXPECT_EQ(offset, 0x3000u);
  // A block cut by the payload's end is not examined.
  EXPECT_FALSE(FindFwVersionBlock(last.data(), last.size() - 1, &block, &offset));
}

TEST_F(DfuUpdateTest, VersionFieldDependsOnTheChip) {
  for (const auto &[chip, fromA] :
       std::vector<std::pair<uint16_t, bool>>{{0x4C10, true}, {0x4C15, true}, {0x4C16, false}}) {
    capfmt::Bytes bytes = DfuPayload(0x1400);
    capfmt::PutVersionBlock(bytes, {.chipId = chip, .version = 0x0A0A});
    FwVersionBlock block;
    ASSERT_TRUE(FindFwVersionBlock(bytes.data(), bytes.size(), &block, nullptr));
    EXPECT_EQ(FwVersionOf(&block), 0x0A0A) << std::hex << chip;
    EXPECT_EQ(fromA ? block.wFwVersionA : block.wFwVersionB, 0x0A0A);
  }
}

TEST_F(DfuUpdateTest, ImageSizeTableDropsTheTrailingSixteenBytes) {
  EXPECT_EQ(DFUImageLength(126992), 126976u);
  EXPECT_EQ(DFUImageLength(122896), 122880u);
  EXPECT_EQ(DFUImageLength(151568), 151552u);
  EXPECT_EQ(DFUImageLength(118800), 118784u);
  EXPECT_EQ(DFUImageLength(147472), 147456u);
  EXPECT_EQ(DFUImageLength(126976), 126976u);
  EXPECT_EQ(DFUImageLength(126993), 126993u);
}

TEST_F(DfuUpdateTest, PayloadWithoutVersionBlockIsRefusedUnsent) {
  Attach();
  payload = DfuPayload(126992, {.offset = 0x1301});
  EXPECT_EQ(Update(Io(), 2, 0), EFI_INVALID_PARAMETER);
  EXPECT_THAT(Log(), ElementsAre("DFUFwDownload() =>\r\n", "Image size is OK\r\n",
                                 "Failed to get FW version.\nFW file missed some patch.\r\n"));
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(progress.percents, IsEmpty());
}

TEST_F(DfuUpdateTest, PayloadBeyondADownloadsLengthIsRefusedUnsent) {
  Attach();
  // Refused on its length alone: not one byte of it is read.
  EXPECT_EQ(DFUFwDownload(Io(), 2, 0, payload.data(), 0x80000000ULL, &progress, Target()),
            EFI_INVALID_PARAMETER);
  EXPECT_THAT(Log(), ElementsAre("DFUFwDownload() =>\r\n",
                                 "Image size 2147483648 is too large for a DFU download\r\n"));
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(progress.percents, IsEmpty());
}

// ---------------------------------------------------------------- the ROM device

TEST_F(DfuUpdateTest, RomDeviceMayCarryTheImagesVendorId) {
  payload = DfuPayload(126992, {.vid = 0x1234, .pid = 0x5678});
  auto rom = AttachRom({.romVid = 0x1234});
  EXPECT_EQ(DFUFwDownload(nullptr, 2, 0, payload.data(), payload.size(), &progress, Target()), EFI_SUCCESS);
  ExpectBackWith(*rom, 0x1234, 0x5678, 0x0101);
}

TEST_F(DfuUpdateTest, OtherProductOfTheRomVendorIsNoRomDevice) {
  AttachRom({.romPid = 0x4C01});
  EXPECT_EQ(DFUFwDownload(nullptr, 2, 0, payload.data(), payload.size(), &progress, Target()),
            EFI_DEVICE_ERROR);
  EXPECT_EQ(Looks(), 50u);
  EXPECT_EQ(Log().back(), "Reset and can't find DFU ROM device\r\n");
  EXPECT_THAT(progress.percents, ElementsAre(2));
  EXPECT_THAT(Transfers(), IsEmpty());
}

TEST_F(DfuUpdateTest, LastRomDeviceInHandleOrderWins) {
  auto first = AttachRom();
  AttachRom();
  EFI_USB_IO_PROTOCOL *rom = nullptr;
  ASSERT_TRUE(WaitForDFURomDevice(&rom, 0x3B5A, nullptr));
  EXPECT_EQ(rom, Io(0, 1));
  EXPECT_THAT(Log(),
              ElementsAre("Nunber of USB Handle is 2\r\n", "Find DFU VID/PID = 3B5A/4C00\r\n",
                          "Find DFU VID/PID = 3B5A/4C00\r\n"));
  // Enumerated again, the first device's handle comes last.
  first->BecomeDfuRom();
  P.AdvanceTime(0);
  ASSERT_TRUE(WaitForDFURomDevice(&rom, 0x3B5A, nullptr));
  EXPECT_EQ(rom, Io(0, 0));
}

// The DFU path needs the camera ROM's one departure from DFU 1.1: a DFU 1.1 device refuses
// DFU_DETACH in DFU mode (and would manifest only on the DFU_GETSTATUS the driver never
// sends after the zero-length block), so the camera never comes back.
TEST_F(DfuUpdateTest, DfuDeviceWithoutTheRomsDepartureIsNotUpdated) {
  auto rom = AttachRom({.detachStartsImage = false});
  EXPECT_EQ(DFUFwDownload(nullptr, 2, 0, payload.data(), payload.size(), &progress, Target()),
            EFI_DEVICE_ERROR);
  EXPECT_TRUE(HasRun(Log(), {"DFUWriteFW_4C15 OK!\r\n",
                             "KvrFmpDriver Error:SendControlRequest failed: Status Device Error, "
                             "UsbResult 0x2, entityID 0.\n",
                             "VendorSetCmd DetachDFU_4C15 fail!!\r\n"}));
  EXPECT_TRUE(rom->Rom()->Manifested());
  EXPECT_FALSE(rom->Rom()->ManifestationDone());
  EXPECT_EQ(rom->Rom()->State(), camera::dfu::kDfuError);
  EXPECT_EQ(rom->CurrentPersona(), camera::Camera::Persona::DfuRom);
  EXPECT_EQ(progress.percents.back(), 98u);
}

// ---------------------------------------------------------------- the camera that comes back

TEST_F(DfuUpdateTest, CameraBackWithItsOldVersionFailsAfterFiftyLooks) {
  auto cam = AttachCamera(false);
  cam->Misbehave().dfu.keepOldVersion = true;
  EXPECT_EQ(Update(Io(), 2, 0), EFI_DEVICE_ERROR);
  ExpectBackWith(*cam, 0x3B5A, 0x4C15, 0x0102);
  std::vector<std::string> log = Log();
  const auto afterDownload = std::find(log.begin(), log.end(), "DFUWriteFW_4C15 OK!\r\n");
  EXPECT_EQ(std::count_if(afterDownload, log.end(),
                          [](const std::string &l) { return l.rfind("Nunber", 0) == 0; }),
            50);
  EXPECT_EQ(log.back(), "DFUFwDownload() <=\r\n");
  EXPECT_EQ(progress.percents.back(), 98u);
}

TEST_F(DfuUpdateTest, FailedDownloadFailsEvenWhenTheNewCameraComesBack) {
  auto cam = AttachCamera(false);
  cam->Misbehave().dfu.bootsIncompleteImage = true;
  P.Usb().FailMatching({.bRequest = DFU_DNLOAD, .wValue = 31}, EFI_DEVICE_ERROR, EFI_USB_ERR_STALL);
  EXPECT_EQ(Update(Io(), 2, 0), EFI_DEVICE_ERROR);
  // The ROM device was still told to leave: the camera is not stranded as the ROM device.
  ExpectBackWith(*cam, 0x3B5A, 0x4C15, 0x0203);
  EXPECT_THAT(progress.percents, ElementsAreArray(Join(Join({2}, Steps(5, 3, 95)), {98})));
  std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "DFU download failed, update not complete\r\n");
  EXPECT_EQ(log.back(), "DFUFwDownload() <=\r\n");
}

// A device that loses power takes its USB I/O interface with it (firmware frees it): after
// the failed request nothing more goes through that interface, and the camera's power-up
// decides the rest.
TEST_F(DfuUpdateTest, DeviceThatLostPowerIsSentNothingMore) {
  const std::string kLeft = "Device has left the bus, no request sent to it\r\n";
  {
    SCOPED_TRACE("power lost at the allow-update request");
    auto cam = AttachCamera(false);
    cam->Misbehave().powerCut = camera::PowerCutRule{camera::Request(0x00, 0x1B)};
    EXPECT_EQ(Update(Io(), 2, 0), EFI_DEVICE_ERROR);
    EXPECT_EQ(Transfers().size(), 1u);  // no detach request after it
    EXPECT_TRUE(HasRun(Log(), {"VendorSetCmd DFUAllowUpdateFW_4C15 fail!!\r\n", kLeft}));
    EXPECT_EQ(Log().back(), "Reset and can't find DFU ROM device\r\n");
    ExpectBackWith(*cam, 0x3B5A, 0x4C15, 0x0102);  // its firmware starts again
    P.Usb().Detach(Port());
  }
  P.Usb().ClearTransfers();
  sim::ClearCapturedLog();
  progress.percents.clear();
  {
    SCOPED_TRACE("power lost at the sixth block");
    auto cam = AttachCamera(false);
    cam->Misbehave().powerCut = camera::PowerCutRule{camera::DfuBlockDownload(5)};
    EXPECT_EQ(Update(Io(0, 1), 2, 0), EFI_DEVICE_ERROR);
    EXPECT_EQ(Count(WireRequest{0x21, 0x00, 0x5000, 0, 0, EfiUsbNoData, 5000}), 0u);
    const std::vector<std::string> log = Log();
    EXPECT_TRUE(HasRun(log, {"VendorSetCmd DFUWriteFW_4C15 fail!!\r\n"}));
    EXPECT_EQ(std::count(log.begin(), log.end(), kLeft), 1);
    EXPECT_EQ(progress.percents.back(), 98u);
    // Back as the ROM device, stranded until a download is ended.
    EXPECT_EQ(cam->CurrentPersona(), camera::Camera::Persona::DfuRom);
    EXPECT_TRUE(cam->DfuDownloadUnfinished());
  }
}

}  // namespace
