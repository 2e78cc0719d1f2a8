// The flash-path update end to end against the camera model: what ends up in the flash, the
// progress reported, the pieces on the wire, the waits, and how each kind of failure ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "flash/FlashFixture.h"

namespace {

using namespace flashpath;

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Not;

// Percentages of a full update, as the progress table gives them: the steps before the
// write loop, one per piece, then the end of the write loop and the steps after it.
// The flash path's values: one a step and one a piece, never more than 99 before the last,
// and never less than the value before (more than 35 pieces run ahead of the fixed values
// that follow the write, which then hold the last one).
std::vector<UINTN> FullProgress(size_t pieces, bool romCode) {
  std::vector<UINTN> p = romCode ? std::vector<UINTN>{1, 3, 6, 11}
                                 : std::vector<UINTN>{1, 5, 7, 10, 15};
  const UINTN base = p.back();
  for (size_t k = 1; k <= pieces; k++) {
    p.push_back(std::min<UINTN>(base + k, 99));
  }
  const std::vector<UINTN> tail = romCode ? std::vector<UINTN>{46, 81, 86, 91, 96}
                                          : std::vector<UINTN>{50, 85, 90, 95, 100};
  for (UINTN v : tail) p.push_back(std::max(v, p.back()));
  return p;
}

std::vector<std::string> OfKind(const std::vector<std::string> &names, const std::string &kind) {
  std::vector<std::string> out;
  std::copy_if(names.begin(), names.end(), std::back_inserter(out),
               [&](const std::string &n) { return n.rfind(kind, 0) == 0; });
  return out;
}

class FlashUpdateTest : public FlashTest {
 protected:
  EFI_STATUS Update(const std::vector<uint8_t> &payload, bool withProgress = true) {
    return FlashFwDownload(Io(), payload.data(), payload.size(),
                           withProgress ? &progress : nullptr);
  }
  void ExpectProtectedAgain() {
    EXPECT_EQ(cam->Flash().StatusRegister(), 0x8C);
    EXPECT_TRUE(cam->Flash().WriteProtected());
    EXPECT_TRUE(cam->Flash().StatusRegisterLocked());
    EXPECT_EQ(cam->Flash().Memory(0xFEA6) & 0x01, 0);
    EXPECT_EQ(cam->Flash().Memory(0xFEA7) & 0x04, 0);
  }
  ProgressRecorder progress;
};

// ---------------------------------------------------------------- full update

TEST_F(FlashUpdateTest, FullUpdateLeavesThePayloadTaggedAndProtected) {
  AttachCamera();
  const std::vector<uint8_t> payload = Image(126'976);
  EXPECT_EQ(Update(payload), EFI_SUCCESS);

  const camera::FlashHardware &flash = cam->Flash();
  EXPECT_EQ(flash.Contents(0, payload.size()), payload);
  const std::vector<uint8_t> rest = flash.Contents(payload.size(), flash.Contents().size() -
                                                                       payload.size());
  EXPECT_TRUE(std::all_of(rest.begin(), rest.end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(flash.Tagged());
  EXPECT_EQ(flash.Erases(), 1u);
  EXPECT_EQ(flash.IgnoredCommands(), 0u);
  ExpectProtectedAgain();
  EXPECT_EQ(cam->ResetsToUpdateMode(), 1u);
  EXPECT_EQ(cam->Restarts(), 1u);
  EXPECT_TRUE(cam->Connected());  // back after the restart, running the new code
  EXPECT_EQ(cam->CurrentMode(), camera::Camera::Mode::Running);
  EXPECT_THAT(progress.percents, ElementsAreArray(FullProgress(31, false)));
  EXPECT_THAT(Log(), ElementsAre("Send Control Request and get VOSKARN OK\n", "Check Rom Code\r\n",
                                 "KvrFmpDriver: VendorCMD:VID_3B5A PID_4C01 FW_0102 REV_0001 "
                                 "HW_0200\n",
                                 "Reset to FW update mode\r\n", "Disable Write Protect\r\n",
                                 "Erase Flash\r\n", "Write Flash, ImageSize=0x01F000\r\n",
                                 "Read Flash\r\n", "Write Tag\r\n", "Enable Write Protect\r\n",
                                 "Reset to New Code\r\n", "FW download success\r\n"));
}

TEST_F(FlashUpdateTest, StepsGoOutInOrderOnTheSameInterface) {
  AttachCamera();
  EXPECT_EQ(Update(Image(5000)), EFI_SUCCESS);
  std::vector<std::string> names = Names();
  // Identification, the ten information pieces, the reset into update mode.
  ASSERT_GE(names.size(), 23u);
  EXPECT_EQ(names[0], "SET_CUR D0");
  EXPECT_EQ(names[1], "GET_CUR");
  EXPECT_EQ(names[22], "ResetToUpdateFW");
  names.erase(names.begin(), names.begin() + 23);
  EXPECT_THAT(names, ElementsAre("ReadMem FE21", "ReadMem FEA0", "ReadMem FEA6", "ReadMem FEA1",
                                 "ReadMem FEA7", "WriteMem FEA0", "WriteMem FEA6", "WriteMem FEA1",
                                 "WriteMem FEA7", "WriteSr", "ReadSr", "ReadSr", "ReadSr",
                                 "EraseFlash", "WriteFlash 000000", "WriteFlash 001000",
                                 "ReadFlash 000000", "ReadFlash 001000", "WriteTag",
                                 "ReadMem FE21", "ReadMem FEA0", "ReadMem FEA6", "ReadMem FEA1",
                                 "ReadMem FEA7", "WriteMem FEA0", "WriteMem FEA6", "WriteMem FEA1",
                                 "WriteMem FEA7", "WriteSr", "ReadSr", "ReadSr", "ReadSr",
                                 "SET_CUR 09"));
  for (const sim::Transfer &t : Transfers()) {
    EXPECT_EQ(t.interfaceNumber, 0);
    EXPECT_EQ(t.timeoutMs, 5000u);
  }
}

// ---------------------------------------------------------------- progress

struct ProgressCase {
  size_t pieces;
  bool romCode;
};

class FlashProgressTest : public FlashUpdateTest,
                          public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(FlashProgressTest, ReportsExactlyTheTableValues) {
  camera::Config config;
  config.flash.busyReads = 0;
  AttachCamera(std::move(config));
  cam->Misbehave().romCode = GetParam().romCode;
  const std::vector<uint8_t> payload = Image(GetParam().pieces * 4096);
  EXPECT_EQ(Update(payload), EFI_SUCCESS);
  EXPECT_THAT(progress.percents, ElementsAreArray(FullProgress(GetParam().pieces, GetParam().romCode)));
  EXPECT_EQ(cam->Flash().Contents(0, payload.size()), payload);
  EXPECT_TRUE(cam->Flash().Tagged());
  // The camera in ROM code is not reset into update mode, and not waited for.
  const size_t resets = GetParam().romCode ? 0 : 1;
  EXPECT_EQ(cam->ResetsToUpdateMode(), resets);
  EXPECT_EQ(OfKind(Names(), "ResetToUpdateFW").size(), resets);
  std::vector<uint64_t> stalls(resets + 1, 1'000'000);
  EXPECT_EQ(P.Stalls(), stalls);
}

INSTANTIATE_TEST_SUITE_P(, FlashProgressTest,
                         ::testing::Values(ProgressCase{31, false}, ProgressCase{36, false},
                                           ProgressCase{90, false}, ProgressCase{31, true},
                                           ProgressCase{36, true}, ProgressCase{90, true}),
                         [](const ::testing::TestParamInfo<ProgressCase> &info) {
                           return std::to_string(info.param.pieces) + "Pieces" +
                                  (info.param.romCode ? "RomCode" : "Firmware");
                         });

TEST_F(FlashUpdateTest, LargeImageReportsOneHundredOnlyOnceRestarted) {
  AttachCamera();
  const std::vector<uint8_t> payload = Image(100 * 4096);  // 100 pieces
  EXPECT_EQ(Update(payload), EFI_SUCCESS);
  const std::vector<UINTN> &p = progress.percents;
  ASSERT_EQ(p.size(), 5 + 100 + 5u);
  EXPECT_EQ(*std::max_element(p.begin(), p.end() - 1), 99u);
  EXPECT_EQ(p[5 + 83], 99u);       // piece 84 brings the count to 99
  EXPECT_EQ(p[5 + 84], 99u);       // piece 85 would bring it to 100
  EXPECT_EQ(p[5 + 99], 99u);       // piece 100, held at 99
  EXPECT_EQ(p[5 + 100], 99u);      // the end of the write loop's 50 holds it
  EXPECT_TRUE(std::is_sorted(p.begin(), p.end())) << "the bar ran backwards";
  EXPECT_EQ(std::count(p.begin(), p.end(), 100u), 1);
  EXPECT_EQ(p.back(), 100u);       // after the restart into the new code
}

TEST_F(FlashUpdateTest, LargeImageFailingAfterItsWritesNeverReportedOneHundred) {
  AttachCamera();
  P.Usb().FailMatching({.bmRequestType = 0x40, .bRequest = 0x34}, EFI_DEVICE_ERROR,
                       EFI_USB_ERR_STALL);  // WriteTag
  EXPECT_EQ(Update(Image(90 * 4096)), EFI_DEVICE_ERROR);
  EXPECT_THAT(progress.percents, Not(Contains(100u)));
  EXPECT_EQ(progress.percents.back(), 99u);  // the read-back's 85, held at the last piece's
}
TEST_F(FlashUpdateTest, WithoutProgressTheUpdateRunsTheSame) {
  AttachCamera();
  const std::vector<uint8_t> payload = Image(20'000);
  ASSERT_EQ(Update(payload), EFI_SUCCESS);
  const std::vector<std::string> withProgress = Names();

  P.Usb().Detach(Port());
  ports_.clear();
  AttachCamera();
  P.Usb().ClearTransfers();
  EXPECT_EQ(Update(payload, /*withProgress=*/false), EFI_SUCCESS);
  EXPECT_EQ(Names(), withProgress);
  EXPECT_EQ(cam->Flash().Contents(0, payload.size()), payload);
  EXPECT_EQ(progress.percents.size(), 5 + 5 + 5u);  // only the first run's
}

// ---------------------------------------------------------------- pieces and waits

TEST_F(FlashUpdateTest, TenThousandBytesGoOutAsThreePieces) {
  AttachCamera();
  const std::vector<uint8_t> payload = Image(10'000);
  EXPECT_EQ(Update(payload), EFI_SUCCESS);
  std::vector<WireRequest> writes, reads;
  size_t offset = 0;
  for (const sim::Transfer &t : Transfers()) {
    if (t.setup.RequestType == 0x40 && t.setup.Request == 0x2F) {
      writes.push_back(WireRequest::Of(t));
      EXPECT_EQ(t.dataOut, std::vector<uint8_t>(payload.begin() + offset,
                                                payload.begin() + offset + t.dataOut.size()));
      offset += t.dataOut.size();
    }
    if (t.setup.RequestType == 0xC0 && t.setup.Request == 0x2E) {
      reads.push_back(WireRequest::Of(t));
    }
  }
  EXPECT_THAT(writes, ElementsAre(WireRequest{0x40, 0x2F, 0, 0x0000, 4096, EfiUsbDataOut, 5000},
                                  WireRequest{0x40, 0x2F, 0, 0x1000, 4096, EfiUsbDataOut, 5000},
                                  WireRequest{0x40, 0x2F, 0, 0x2000, 1808, EfiUsbDataOut, 5000}));
  EXPECT_THAT(reads, ElementsAre(WireRequest{0xC0, 0x2E, 0, 0x0000, 4096, EfiUsbDataIn, 5000},
                                 WireRequest{0xC0, 0x2E, 0, 0x1000, 4096, EfiUsbDataIn, 5000},
                                 WireRequest{0xC0, 0x2E, 0, 0x2000, 1808, EfiUsbDataIn, 5000}));
  EXPECT_EQ(Log()[6], "Write Flash, ImageSize=0x002710\r\n");
}

TEST_F(FlashUpdateTest, OneSecondAfterTheResetIntoUpdateModeAndAfterTheRestart) {
  camera::Config config;
  config.flash.busyReads = 0;
  AttachCamera(std::move(config));
  EXPECT_EQ(Update(Image(4096)), EFI_SUCCESS);
  EXPECT_EQ(P.Stalls(), std::vector<uint64_t>({1'000'000, 1'000'000}));
  const std::vector<std::string> names = Names();
  const size_t reset = std::find(names.begin(), names.end(), "ResetToUpdateFW") - names.begin();
  ASSERT_LT(reset + 1, names.size());
  EXPECT_EQ(Transfers()[reset + 1].timeUs - Transfers()[reset].timeUs, 1'000'000u);
  EXPECT_EQ(P.NowUs() - Transfers().back().timeUs, 1'000'000u);
}

// ---------------------------------------------------------------- failures

TEST_F(FlashUpdateTest, UnqualifiedCameraIsLeftAlone) {
  camera::Config config;
  config.identification = {'V', 'O', 'S', 'K', 'A', 'R', 'M', 0};
  AttachCamera(std::move(config));
  const std::vector<uint8_t> old = cam->Flash().Contents();
  EXPECT_EQ(Update(Image(10'000)), EFI_DEVICE_ERROR);
  EXPECT_THAT(Names(), ElementsAre("SET_CUR D0", "GET_CUR"));
  EXPECT_THAT(progress.percents, IsEmpty());
  EXPECT_EQ(cam->Flash().Contents(), old);
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(FlashUpdateTest, CompareCatchesOneCorruptedByteAfterAZero) {
  AttachCamera();
  std::vector<uint8_t> payload = Image(10'000);
  payload[5000] = 0x00;
  payload[5001] = 0x5A;
  cam->Flash().Misbehave().corruptAt = 5001;
  EXPECT_EQ(Update(payload), EFI_DEVICE_ERROR);
  EXPECT_EQ(Log().back(), "Compare Code Fail\n");
  EXPECT_EQ(OfKind(Names(), "ReadFlash").size(), 3u);
  EXPECT_EQ(Names().back(), "ReadFlash 002000");  // no tag, no protection, no restart
  EXPECT_FALSE(cam->Flash().Tagged());
  EXPECT_FALSE(cam->Flash().WriteProtected());  // left released, as the update stopped
  EXPECT_EQ(progress.percents.back(), 85u);
}

// AllocatePool as the platform's, except that a block of the chosen size comes back holding
// the chosen bytes, as pool memory may still hold what it held before.
EFI_ALLOCATE_POOL gRealAllocatePool;
std::vector<uint8_t> gStaleBytes;
EFI_STATUS EFIAPI StaleAllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  const EFI_STATUS status = gRealAllocatePool(type, size, buffer);
  if (!EFI_ERROR(status) && size == gStaleBytes.size()) {
    std::memcpy(*buffer, gStaleBytes.data(), size);
  }
  return status;
}

// The camera answers each read-back piece short, into a buffer that already holds the
// image. The bytes it leaves out must not pass as read back.
TEST_F(FlashUpdateTest, ShortReadBackFailsTheCompareWhateverTheBufferHeld) {
  P.Usb().ShortAnswersFail(false);  // a host controller that reports short answers as success
  AttachCamera();
  const std::vector<uint8_t> payload = Image(10'000);
  cam->Flash().Misbehave().readLength = 4000;
  gStaleBytes = payload;
  gRealAllocatePool = P.BootServices()->AllocatePool;
  P.BootServices()->AllocatePool = &StaleAllocatePool;
  const EFI_STATUS status = Update(payload);
  P.BootServices()->AllocatePool = gRealAllocatePool;
  EXPECT_EQ(status, EFI_DEVICE_ERROR);
  EXPECT_EQ(Log().back(), "Compare Code Fail\n");
  EXPECT_EQ(cam->Flash().Contents(0, payload.size()), payload);  // the flash itself is fine
  EXPECT_THAT(Names(), Not(Contains("WriteTag")));
}

TEST_F(FlashUpdateTest, FailedPieceWriteStopsTheUpdate) {
  AttachCamera();
  cam->Flash().Misbehave().failWriteAt = 0x1800;  // inside the second piece
  EXPECT_EQ(Update(Image(10'000)), EFI_DEVICE_ERROR);
  EXPECT_EQ(Names().back(), "WriteFlash 001000");
  EXPECT_THAT(progress.percents, ElementsAre(1u, 5u, 7u, 10u, 15u, 16u, 17u));
  EXPECT_EQ(Log().back(), "KvrFmpDriver Error:SendVendorRequest WriteFlash fail Device Error\n");
}

// ---------------------------------------------------------------- refused before anything is sent

TEST_F(FlashUpdateTest, NoMemoryForTheReadBackBufferTouchesNothing) {
  AttachCamera();
  P.FailAllocation(1);
  EXPECT_EQ(Update(Image(10'000)), EFI_OUT_OF_RESOURCES);
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(progress.percents, IsEmpty());
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:FlashFwDownload: no memory for the "
                                 "read-back buffer of 0x2710 bytes\n"));
}

TEST_F(FlashUpdateTest, EmptyImageIsRefused) {
  AttachCamera();
  const std::vector<uint8_t> old = cam->Flash().Contents();
  const UINT8 byte = 0;
  EXPECT_EQ(FlashFwDownload(Io(), &byte, 0, &progress), EFI_INVALID_PARAMETER);
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(progress.percents, IsEmpty());
  EXPECT_EQ(cam->Flash().Contents(), old);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:FlashFwDownload: the image is empty, "
                                 "nothing to write\n"));
}

TEST_F(FlashUpdateTest, ImageBeyondTheFlashAddressSpaceIsRefused) {
  AttachCamera();
  const UINT8 byte = 0;  // never read: the length alone decides
  EXPECT_EQ(FlashFwDownload(Io(), &byte, 0x1000001, &progress), EFI_BAD_BUFFER_SIZE);
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_EQ(P.Pool().outstanding, 0u);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:FlashFwDownload: image of 0x1000001 bytes "
                                 "exceeds the flash address space of 0x1000000 bytes\n"));
}

}  // namespace
