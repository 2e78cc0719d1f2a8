// Identification and mode commands against the camera model.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "camera/CameraFixture.h"
#include "command/Command.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::vector<uint8_t> kRecoveryBlock{0xFF, 0, 0, 0, 0, 0, 0, 0};

class IdentificationTest : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    cam = Attach();
    XuUnitId = 6;  // as the probe leaves it for this camera
  }
  std::shared_ptr<camera::Camera> cam;
};

std::vector<uint8_t> InfoBlock(uint16_t piece) {
  return {0x00, 0xCD, static_cast<uint8_t>(piece), static_cast<uint8_t>(piece >> 8), 0x08, 0, 0, 0};
}

// ---------------------------------------------------------------- chip information

TEST_F(IdentificationTest, ChipInfoTakesVendorAndChipIdLittleEndianFromPieceZero) {
  camera::Information info = cam->Settings().information;
  info[0] = 0x5A, info[1] = 0x3B, info[2] = 0x15, info[3] = 0x4C;
  cam->Settings().information = info;
  UINT16 vid = 0xFFFF, id = 0xFFFF;
  EXPECT_EQ(GetChipInfo_VendorCmd(Io(), &vid, &id), EFI_SUCCESS);
  EXPECT_EQ(vid, 0x3B5A);
  EXPECT_EQ(id, 0x4C15);
  EXPECT_THAT(Wire(), ElementsAre(XuSetCur(6), XuGetCur(6)));
  EXPECT_EQ(Transfers()[0].dataOut, InfoBlock(0));
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver: VendorCMD:Chip VID_3B5A PID_4C15\r\n"));
}

TEST_F(IdentificationTest, ChipInfoRefusedLeavesZerosAfterOneRecovery) {
  cam->Misbehave().romCode = true;
  UINT16 vid = 0xFFFF, id = 0xFFFF;
  EXPECT_EQ(GetChipInfo_VendorCmd(Io(), &vid, &id), EFI_DEVICE_ERROR);
  EXPECT_EQ(vid, 0);
  EXPECT_EQ(id, 0);
  ASSERT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(Transfers()[1].dataOut, kRecoveryBlock);
  EXPECT_EQ(Log().back(),
            "KvrFmpDriver Error:GetChipInfo_VendorCmd failed: DevSetCmd Device Error\n");
}

TEST_F(IdentificationTest, ChipInfoAnswerUnreadableLeavesZeros) {
  cam->Misbehave().stalls.push_back({camera::AnswerRead()});
  UINT16 vid = 0xFFFF, id = 0xFFFF;
  EXPECT_EQ(GetChipInfo_VendorCmd(Io(), &vid, &id), EFI_DEVICE_ERROR);
  EXPECT_EQ(vid, 0);
  EXPECT_EQ(id, 0);
  EXPECT_THAT(Wire(), ElementsAre(XuSetCur(6), XuGetCur(6)));
  EXPECT_EQ(Log().back(),
            "KvrFmpDriver Error:GetChipInfo_VendorCmd failed: DevGetData Device Error\n");
}

TEST_F(IdentificationTest, ShortChipAnswerReadsAsZerosNotAsStaleBytes) {
  P.Usb().ShortAnswersFail(false);  // a host controller that reports short answers as success
  cam->Misbehave().answerLength = 2;
  UINT16 vid = 0, id = 0xFFFF;
  EXPECT_EQ(GetChipInfo_VendorCmd(Io(), &vid, &id), EFI_SUCCESS);
  EXPECT_EQ(vid, 0x3B5A);
  EXPECT_EQ(id, 0);
}

// ---------------------------------------------------------------- firmware information

TEST_F(IdentificationTest, FwInfoReadsTenPiecesInOrder) {
  FwInfo info;
  EXPECT_EQ(GetFwInfo_VendorCmd(Io(), &info), EFI_SUCCESS);
  ASSERT_EQ(Transfers().size(), 20u);
  for (uint16_t piece = 0; piece < 10; piece++) {
    const sim::Transfer &set = Transfers()[2 * piece];
    const sim::Transfer &get = Transfers()[2 * piece + 1];
    EXPECT_EQ(WireRequest::Of(set), XuSetCur(6));
    EXPECT_EQ(set.dataOut, InfoBlock(piece)) << "piece " << piece;
    EXPECT_EQ(WireRequest::Of(get), XuGetCur(6));
    EXPECT_EQ(get.dataIn.size(), 8u);
  }
}

TEST_F(IdentificationTest, FwInfoDecodesByteOrdersOfEachField) {
  camera::Information info{};
  info[0] = 0x5A, info[1] = 0x3B;                   // VID, little-endian
  info[2] = 0x15, info[3] = 0x4C;                   // PID, little-endian
  info[4] = 0x12, info[5] = 0x34;                   // FW, little-endian
  info[6] = 0x12, info[7] = 0x34;                   // HW, big-endian
  info[70] = 0x01, info[71] = 0x02;                 // REV, big-endian
  info[8] = info[69] = info[72] = info[79] = 0xEE;  // ignored
  cam->Settings().information = info;
  FwInfo out{};
  ASSERT_EQ(GetFwInfo_VendorCmd(Io(), &out), EFI_SUCCESS);
  EXPECT_EQ(out.wVID, 0x3B5A);
  EXPECT_EQ(out.wPID, 0x4C15);
  EXPECT_EQ(out.wFW, 0x3412);
  EXPECT_EQ(out.wHW, 0x1234);
  EXPECT_EQ(out.wREV, 0x0102);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver: VendorCMD:VID_3B5A PID_4C15 FW_3412 REV_0102 "
                                 "HW_1234\n"));
}

TEST_F(IdentificationTest, FwInfoStopsAtARefusedPieceWithNothingDecoded) {
  cam->Misbehave().stalls.push_back({camera::InformationPiece(4)});
  FwInfo out{0x1111, 0x2222, 0x3333, 0x4444, 0x5555};
  EXPECT_EQ(GetFwInfo_VendorCmd(Io(), &out), EFI_DEVICE_ERROR);
  ASSERT_EQ(Transfers().size(), 4 * 2 + 1 + 1u);  // four pieces, the refused block, recovery
  EXPECT_EQ(Transfers()[8].dataOut, InfoBlock(4));
  EXPECT_EQ(Transfers()[9].dataOut, kRecoveryBlock);
  EXPECT_EQ(out.wPID, 0x1111);
  EXPECT_EQ(out.wHW, 0x5555);
  EXPECT_EQ(Log().back(),
            "KvrFmpDriver Error:GetFwInfo_VendorCmd failed: DevSetCmd Device Error\n");
}

TEST_F(IdentificationTest, FwInfoStopsAtAnUnreadableAnswer) {
  cam->Misbehave().stalls.push_back({camera::AnswerRead(), /*skip=*/4, /*times=*/1});
  FwInfo out{};
  EXPECT_EQ(GetFwInfo_VendorCmd(Io(), &out), EFI_DEVICE_ERROR);
  EXPECT_EQ(Transfers().size(), 10u);  // no recovery after a failed read
  EXPECT_EQ(Log().back(),
            "KvrFmpDriver Error:GetFwInfo_VendorCmd failed: DevGetData Device Error\n");
}

TEST_F(IdentificationTest, RomCodeIsACameraWhoseInformationCannotBeRead) {
  EXPECT_FALSE(CheckRomCode(Io()));
  cam->Misbehave().stalls.push_back({camera::InformationPiece(9)});
  EXPECT_TRUE(CheckRomCode(Io()));
  cam->Misbehave().stalls.clear();
  cam->Misbehave().romCode = true;
  EXPECT_TRUE(CheckRomCode(Io()));
}

// ---------------------------------------------------------------- modes

TEST_F(IdentificationTest, ResetToUpdateFWIsOneVendorRequestWithoutData) {
  EXPECT_TRUE(ResetToUpdateFW(Io()));
  EXPECT_THAT(Wire(), ElementsAre(WireRequest{0x40, 0x01, 0x0002, 0x0007, 0, EfiUsbNoData, 5000}));
  EXPECT_EQ(cam->CurrentMode(), camera::Camera::Mode::Update);
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(IdentificationTest, ResetToUpdateFWRefused) {
  cam->Misbehave().stalls.push_back({camera::Request(0x40, 0x01)});
  EXPECT_FALSE(ResetToUpdateFW(Io()));
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendVendorRequest failed: Status Device "
                                 "Error, UsbResult 0x2.\n",
                                 "KvrFmpDriver Error:SendVendorRequest ResetToUpdateFW fail "
                                 "Device Error\n"));
}

TEST_F(IdentificationTest, ResetToRomSendsTheResetBlockAndTheCameraRestarts) {
  EXPECT_TRUE(ResetToRom(Io()));
  EXPECT_THAT(Wire(), ElementsAre(XuSetCur(6)));
  EXPECT_EQ(Transfers()[0].dataOut, std::vector<uint8_t>({0x00, 0x09, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(cam->Restarts(), 1u);
}

TEST_F(IdentificationTest, ResetToRomRefusedSendsNoRecoveryBlock) {
  cam->Misbehave().stalls.push_back({camera::CommandBlock(0x09)});
  EXPECT_FALSE(ResetToRom(Io()));
  EXPECT_EQ(Transfers().size(), 1u);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendControlRequest failed: Status Device "
                                 "Error, UsbResult 0x2, entityID 6.\n",
                                 "VendorSetCmd cmdResetToDLFW fail!!\r\n",
                                 "KvrFmpDriver Error:VendorSetCmd cmdResetToDLFW fail, Status "
                                 "Device Error, entity id 6,len 8\n"));
}

// ---------------------------------------------------------------- identification

TEST_F(IdentificationTest, QualifyAcceptsVoskarnWithItsZero) {
  UINT8 answer[8];
  EXPECT_TRUE(GetDevQualify(Io(), answer));
  EXPECT_THAT(Wire(), ElementsAre(XuSetCur(6), XuGetCur(6)));
  EXPECT_EQ(Transfers()[0].dataOut, std::vector<uint8_t>({0x00, 0xD0, 0, 0, 0x08, 0, 0, 0}));
  EXPECT_EQ(Bytes(answer, 8), std::vector<uint8_t>({'V', 'O', 'S', 'K', 'A', 'R', 'N', 0}));
  EXPECT_THAT(Log(), ElementsAre("Send Control Request and get VOSKARN OK\n"));
}

TEST_F(IdentificationTest, QualifyRejectsAnythingElseAndSendsNothingFurther) {
  const camera::Block wrong[] = {
      {'V', 'O', 'S', 'K', 'A', 'R', 'N', 'X'},  // no terminating zero
      {'V', 'O', 'S', 'K', 'A', 'R', 0, 0},      // shorter
      {'V', 'O', 'S', 'K', 'A', 'R', 'M', 0},    // different
      {0, 0, 0, 0, 0, 0, 0, 0},
  };
  for (const camera::Block &answer : wrong) {
    cam->Settings().identification = answer;
    P.Usb().ClearTransfers();
    UINT8 out[8];
    EXPECT_FALSE(GetDevQualify(Io(), out));
    EXPECT_EQ(Transfers().size(), 2u);
  }
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(IdentificationTest, QualifyShortAnswerDoesNotPassOnStaleBytes) {
  // A controller that lets the empty answer pass as success: only the clearing of the
  // buffer keeps the bytes it held from passing as the identification.
  P.Usb().ShortAnswersFail(false);
  cam->Misbehave().answerLength = 0;
  UINT8 answer[8] = {'V', 'O', 'S', 'K', 'A', 'R', 'N', 0};
  EXPECT_FALSE(GetDevQualify(Io(), answer));
  ASSERT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(Transfers()[1].status, EFI_SUCCESS);
  EXPECT_THAT(Bytes(answer, 8), Each(0));
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(IdentificationTest, QualifyCommandRefusedIsFollowedByOneRecovery) {
  cam->Misbehave().stalls.push_back({camera::CommandBlock(0xD0)});
  UINT8 answer[8];
  EXPECT_FALSE(GetDevQualify(Io(), answer));
  ASSERT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(Transfers()[1].dataOut, kRecoveryBlock);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendControlRequest failed: Status Device "
                                 "Error, UsbResult 0x2, entityID 6.\n",
                                 "KvrFmpDriver: VendorSetCmd fail, Status = 0x00000007, entity id "
                                 "6,len 8\n"));
}

TEST_F(IdentificationTest, QualifyAnswerUnreadableIsFollowedByOneRecovery) {
  cam->Misbehave().stalls.push_back({camera::AnswerRead()});
  UINT8 answer[8];
  EXPECT_FALSE(GetDevQualify(Io(), answer));
  ASSERT_EQ(Transfers().size(), 3u);
  EXPECT_EQ(WireRequest::Of(Transfers()[2]), XuSetCur(6));
  EXPECT_EQ(Transfers()[2].dataOut, kRecoveryBlock);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendControlRequest failed: Status Device "
                                 "Error, UsbResult 0x2, entityID 6.\n",
                                 "KvrFmpDriver: VendorGetData fail, Status = 0x00000007\n"));
}

}  // namespace
