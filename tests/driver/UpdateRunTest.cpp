// The update run through the driver's entry point: every way it ends, what it returns and
// what it leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "camera/CameraFixture.h"
#include "capsule/Capsule.h"
#include "dfu/DfuFixture.h"
#include "driver/Driver.h"
#include "sim/Log.h"
#include "support/ProgressRecorder.h"
#include "support/Vectors.h"
#include "tools/CapsuleFormat.h"
#include "tools/Scenario.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using capfmt::Bytes;

const char kEntry[] = "Korvane camera Flash driver entry =>\r\n";
const char kExit[] = "Korvane camera Flash driver entry <=\r\n";

enum class Path { Hob, CapsuleOnRam, Insyde };

class UpdateRunTest : public CameraTest {
 protected:
  // The platform hands a capsule over as a platform does on that path.
  // An FMP capsule on the INSYDE path; elsewhere a firmware-volume one unless fmp.
  void HandOver(Path path, const Bytes &image, bool fmp = false) {
    capsule = path == Path::Insyde || fmp
                  ? capfmt::MakeFmpCapsule(image, {.drivers = 1, .items = 2})
                  : capfmt::MakeFvCapsule(image, {.largeFile = false, .padFiles = 2});
    HandOverCapsule(path);
  }
  // Hands `capsule` over as it is.
  void HandOverCapsule(Path path) {
    if (path == Path::Insyde) {
      P.SetFirmwareVendor(u"INSYDE Corp.");
      const EFI_GUID guid = KV_CAPSULE_ADDRESS_VARIABLE_GUID;
      P.SetVariable(KV_CAPSULE_ADDRESS_NAME, guid, EFI_VARIABLE_BOOTSERVICE_ACCESS,
                    Address(capsule.data()));
      return;
    }
    if (path == Path::Hob) {
      P.InstallHobList(sim::HobListBuilder().Capsule((uintptr_t)capsule.data(), capsule.size()));
    } else {
      P.InstallHobList(sim::HobListBuilder());
      const EFI_GUID guid = EFI_CAPSULE_VENDOR_GUID;
      P.SetVariable(KV_CAPSULE_ON_RAM_NAME, guid, EFI_VARIABLE_BOOTSERVICE_ACCESS,
                    Address(capsule.data()));
    }
  }
  void InstallProgress() {
    P.InstallProtocol(P.CreateHandle(), gTarvelProgressProtocolGuid, &progress);
  }
  EFI_STATUS RunEntry() {
    EFI_STATUS status = KvrFmpDriverEntry(P.ImageHandle(), P.SystemTable());
    if (pKVFmpPrivateData != nullptr) {  // the record outlives the run, as in firmware
      P.AllowOutstanding(pKVFmpPrivateData);
      P.AllowOutstanding(pKVFmpPrivateData->pDescriptor);
    }
    return status;
  }
  static std::vector<uint8_t> Address(const void *p) {
    std::vector<uint8_t> bytes(8);
    uint64_t value = (uint64_t)(uintptr_t)p;
    std::memcpy(bytes.data(), &value, 8);
    return bytes;
  }

  Bytes payload = Bytes(10000, 0x5A);
  Bytes image = capfmt::MakeImage(0x3B5A, 0x4C15, payload);
  Bytes capsule;
  ProgressRecorder progress;
};

TEST_F(UpdateRunTest, EntryPointStoresThePlatformTables) {
  ::ImageHandle = nullptr;
  ::SystemTable = nullptr;
  ::BootServices = nullptr;
  ::RuntimeServices = nullptr;
  RunEntry();
  EXPECT_EQ(::ImageHandle, P.ImageHandle());
  EXPECT_EQ(::SystemTable, P.SystemTable());
  EXPECT_EQ(::BootServices, P.BootServices());
  EXPECT_EQ(::RuntimeServices, P.RuntimeServices());
}

TEST_F(UpdateRunTest, NoCapsuleEndsTheRunBeforeAnyDeviceIsTouched) {
  Attach();
  InstallProgress();
  P.InstallHobList(sim::HobListBuilder());
  EXPECT_EQ(RunEntry(), EFI_NOT_FOUND);
  EXPECT_THAT(Log(), ElementsAre(kEntry, "Variable for capsule is not found.\n",
                                 "Fail to check capsule image.\n", "Get Capsule file Failed.\n",
                                 kExit));
  EXPECT_EQ(pKVFmpPrivateData, nullptr);
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(progress.percents, IsEmpty());
}

TEST_F(UpdateRunTest, NoHobListReturnsThatError) {
  EXPECT_EQ(RunEntry(), EFI_NOT_FOUND);
  EXPECT_THAT(Log(), ElementsAre(kEntry, "Fail to get HOB.\n", "Get Capsule file Failed.\n", kExit));
}

TEST_F(UpdateRunTest, CapsuleWithoutTheCameraFileEndsWithNotFound) {
  Attach();
  InstallProgress();
  Bytes fv = capfmt::MakeFvCapsule(image);
  EFI_GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  std::memcpy(&fv[32 + 72], &other, sizeof other);  // rename the camera file
  P.InstallHobList(sim::HobListBuilder().Capsule((uintptr_t)fv.data(), fv.size()));
  EXPECT_EQ(RunEntry(), EFI_NOT_FOUND);
  EXPECT_THAT(Log(), ElementsAre(kEntry, "Prepare to search image from Capsule\n", "Image not found.\n",
                                 "No camera image in the capsule.\n", kExit));
  EXPECT_EQ(pKVFmpPrivateData, nullptr);
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(progress.percents, IsEmpty());
}

TEST_F(UpdateRunTest, HeaderFramingBytesBeyondTheImageIsRefusedBeforeAnyDevice) {
  Attach();
  Bytes bad = image;
  uint32_t total = (uint32_t)bad.size() + 1;
  std::memcpy(&bad[12], &total, 4);
  HandOver(Path::Hob, bad);
  EXPECT_EQ(RunEntry(), EFI_VOLUME_CORRUPTED);
  EXPECT_EQ(Log().end()[-2], "Camera image total size 0x2721 exceeds the located image of 0x2720 bytes.\n");
  EXPECT_EQ(Log().back(), kExit);
  EXPECT_EQ(pKVFmpPrivateData, nullptr);
  EXPECT_THAT(Transfers(), IsEmpty());
}

TEST_F(UpdateRunTest, RecordAllocationFailureReturnsOutOfResourcesWithoutTheExitLine) {
  HandOver(Path::Hob, image);
  P.FailAllocation(1);  // nothing before the record allocates on the HOB path
  EXPECT_EQ(RunEntry(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Log().back(), "Out of resource to allocate FMP private data \n");
  EXPECT_EQ(pKVFmpPrivateData, nullptr);
}

TEST_F(UpdateRunTest, DescriptorAllocationFailureFreesTheRecord) {
  HandOver(Path::Hob, image);
  P.FailAllocation(3);  // the record, the trace message, then the descriptor array
  EXPECT_EQ(RunEntry(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Log().back(), "Initialze Private data fail \n");
  EXPECT_EQ(pKVFmpPrivateData, nullptr);
  EXPECT_EQ(P.Pool().outstanding, 0u);
}

TEST_F(UpdateRunTest, NoMatchingCameraReportsTenAndReturnsTheProgressLookupStatus) {
  camera::Config other;
  other.device.idProduct = 0x9999;
  Attach(other);
  HandOver(Path::Hob, image);
  InstallProgress();
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_THAT(progress.percents, ElementsAre(10u));
  EXPECT_THAT(Log(), ::testing::Contains("pKVFmpPrivateData-> wVID = 3b5a, pKVFmpPrivateData->wPID = 9999\r\n"));
  EXPECT_THAT(Log(), ::testing::Not(::testing::Contains("Find match HWID, Try to update FW\r\n")));
  EXPECT_EQ(Log().back(), kExit);
  EXPECT_EQ(P.Pool().outstanding, 2u);  // the record and its descriptor array
}

// Platform services as the platform's, except for the fault a scan case injects.
EFI_LOCATE_HANDLE_BUFFER gRealLocate;
EFI_STATUS gLocateStatus;
EFI_STATUS EFIAPI FailingLocate(EFI_LOCATE_SEARCH_TYPE type, EFI_GUID *protocol, VOID *key,
                                UINTN *count, EFI_HANDLE **buffer) {
  if (type == ByProtocol && std::memcmp(protocol, &gEfiUsbIoProtocolGuid, sizeof(EFI_GUID)) == 0) {
    *count = 0;
    *buffer = nullptr;
    return gLocateStatus;
  }
  return gRealLocate(type, protocol, key, count, buffer);
}
EFI_ALLOCATE_POOL gRealAllocate;
UINTN gFailingSize;
EFI_STATUS EFIAPI FailingAllocate(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  if (size == gFailingSize) {
    *buffer = nullptr;
    return EFI_OUT_OF_RESOURCES;
  }
  return gRealAllocate(type, size, buffer);
}

// A scan that may have missed the camera is no camera absent: without a match its fault is
// the result. A bus without any USB device (the lookup's EFI_NOT_FOUND) keeps the progress
// lookup's status. Neither case waits.
TEST_F(UpdateRunTest, ScanFaultsThatMayHideTheCameraAreTheResult) {
  const struct {
    const char *name;
    EFI_STATUS locate;  // EFI_SUCCESS: the platform's own lookup
    bool probeWithoutMemory;
    EFI_STATUS expected;
  } cases[] = {
      {"lookup fails", EFI_DEVICE_ERROR, false, EFI_DEVICE_ERROR},
      {"lookup without memory", EFI_OUT_OF_RESOURCES, false, EFI_OUT_OF_RESOURCES},
      {"no USB device", EFI_NOT_FOUND, false, EFI_SUCCESS},
      {"probe without memory", EFI_SUCCESS, true, EFI_OUT_OF_RESOURCES},
  };
  auto cam = Attach();
  HandOver(Path::Hob, image);
  InstallProgress();
  gRealLocate = P.BootServices()->LocateHandleBuffer;
  gRealAllocate = P.BootServices()->AllocatePool;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    sim::ClearCapturedLog();
    progress.percents.clear();
    gLocateStatus = c.locate;
    gFailingSize = c.probeWithoutMemory ? cam->ConfigurationDescriptor().size() : 0;
    P.BootServices()->LocateHandleBuffer = c.locate == EFI_SUCCESS ? gRealLocate : FailingLocate;
    P.BootServices()->AllocatePool = c.probeWithoutMemory ? FailingAllocate : gRealAllocate;
    const size_t stalls = P.Stalls().size();
    EXPECT_EQ(KvrFmpDriverEntry(P.ImageHandle(), P.SystemTable()), c.expected);
    EXPECT_THAT(progress.percents, ElementsAre(10u));
    EXPECT_EQ(P.Stalls().size(), stalls);
    const std::vector<std::string> log = Log();
    EXPECT_EQ(log.back(), kExit);
    const bool fault = c.expected != EFI_SUCCESS;
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         std::string("USB scan incomplete (") + KvrStatusName(c.expected) +
                             "): a camera may have been missed\r\n"),
              fault ? 1 : 0);
    EXPECT_EQ(cam->Flash().Erases(), 0u);
    FreePool(pKVFmpPrivateData->pDescriptor);
    FreePool(pKVFmpPrivateData);
    pKVFmpPrivateData = nullptr;
  }
  P.BootServices()->LocateHandleBuffer = gRealLocate;
  P.BootServices()->AllocatePool = gRealAllocate;
}

TEST_F(UpdateRunTest, WithoutTheProgressProtocolAnEmptyTableReturnsNotFound) {
  HandOver(Path::Hob, image);
  EXPECT_EQ(RunEntry(), EFI_NOT_FOUND);
  EXPECT_THAT(Log(), ::testing::Contains("LocateProtocol for Tarvel Progress fail\r\n"));
  EXPECT_EQ(pKVFmpPrivateData->wCount, 0);
}

TEST_F(UpdateRunTest, OnlySixCapitalsInsydeSelectTheAddressVariable) {
  struct Case {
    const char16_t *vendor;
    bool insyde;
  };
  for (const Case c : {Case{u"INSYDE Corp.", true}, Case{u"INSYDE", true}, Case{u"Insyde", false},
                       Case{u"INSYD", false}, Case{u"EDK II", false}}) {
    P.SetFirmwareVendor(c.vendor);
    size_t before = P.GetVariableCalls(KV_CAPSULE_ADDRESS_NAME);
    RunEntry();
    EXPECT_EQ(P.GetVariableCalls(KV_CAPSULE_ADDRESS_NAME) - before, c.insyde ? 1u : 0u)
        << sim::ToUtf8(c.vendor);
  }
}

// ---------------------------------------------------------------- a matching camera

// A path, and on the HOB and "CapsuleOnRam" paths whether the capsule is an FMP one.
class UpdateRunPathTest : public UpdateRunTest,
                          public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(UpdateRunPathTest, FlashCameraGetsTheImageOnEveryCapsulePath) {
  auto camera = Attach();
  InstallProgress();
  HandOver(static_cast<Path>(std::get<0>(GetParam())), image, std::get<1>(GetParam()));
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(camera->Flash().Contents(0, payload.size()), payload);
  EXPECT_TRUE(camera->Flash().Tagged());
  ASSERT_FALSE(progress.percents.empty());
  EXPECT_EQ(progress.percents.front(), 10u);
  EXPECT_EQ(progress.percents.back(), 100u);
  EXPECT_THAT(Log(), ::testing::Contains("Find match HWID, Try to update FW\r\n"));
  EXPECT_EQ(Log().end()[-2], "Update FW success\r\n");
  EXPECT_EQ(Log().back(), kExit);
  EXPECT_EQ(P.Pool().outstanding, 2u);  // only the record and its descriptor array remain
  EXPECT_EQ(pKVFmpPrivateData->pDescriptor[0].Version, 0x0102u);  // bcdDevice before the update
}

INSTANTIATE_TEST_SUITE_P(Paths, UpdateRunPathTest,
                         ::testing::Values(std::tuple{(int)Path::Hob, false},
                                           std::tuple{(int)Path::CapsuleOnRam, false},
                                           std::tuple{(int)Path::Insyde, true},
                                           std::tuple{(int)Path::Hob, true},
                                           std::tuple{(int)Path::CapsuleOnRam, true}));

// The capsules EDK II's GenerateCapsule made, signed or not, with or without the driver
// embedded, on each path: the camera gets the image in cam.img.
class UpdateRunVectorTest
    : public UpdateRunTest,
      public ::testing::WithParamInterface<std::tuple<int, std::string>> {};

TEST_P(UpdateRunVectorTest, GenerateCapsuleOutputUpdatesTheCamera) {
  auto camera = Attach();
  InstallProgress();
  capsule = vectors::Read(std::get<1>(GetParam()));
  ASSERT_FALSE(capsule.empty());
  HandOverCapsule(static_cast<Path>(std::get<0>(GetParam())));
  const Bytes cam = vectors::Read("cam.img");
  const Bytes firmware(cam.begin() + 16, cam.end());
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(camera->Flash().Contents(0, firmware.size()), firmware);
  EXPECT_TRUE(camera->Flash().Tagged());
  EXPECT_EQ(progress.percents.back(), 100u);
  EXPECT_EQ(Log().end()[-2], "Update FW success\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, UpdateRunVectorTest,
    ::testing::Combine(::testing::Values((int)Path::Hob, (int)Path::CapsuleOnRam, (int)Path::Insyde),
                       ::testing::ValuesIn(vectors::Capsules())));

TEST_F(UpdateRunTest, WithoutTheProgressProtocolTheUpdateStillRuns) {
  auto camera = Attach();
  HandOver(Path::Hob, image);
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(camera->Flash().Contents(0, payload.size()), payload);
}

// ---------------------------------------------------------------- a camera stranded in its DFU ROM

const char kResumeLine[] =
    "No camera matched, DFU ROM device found: resume the interrupted update\r\n";

// The in-flight record a cut-short update left, if any.
enum class Record {
  None,
  OnRom,         // this image's update, on the port of ROM device recordOn
  OtherImage,    // another image's update (another CRC32), on that port
  OtherPort,     // this image's update, on a port no ROM device sits on
  RunTimeAccess, // this image's, on that port, but reachable by an operating system
};

struct StrandedCase {
  const char *name;
  std::vector<uint16_t> romVids = {};  // ROM devices (PID 0x4C00) on the bus, in port order
  bool versionBlock = true;       // the payload carries one, naming VID 0x1B3F
  bool matchingCamera = false;    // a camera the image names is on the bus too (its update fails)
  Record record = Record::None;
  int recordOn = 0;               // the ROM device whose port the record names
  int resumedOn = -1;             // the ROM device the update resumes on
  EFI_STATUS status = EFI_SUCCESS;
};

class StrandedCameraTest : public UpdateRunTest,
                           public ::testing::WithParamInterface<StrandedCase> {
 protected:
  // Writes the record as DFUFwDownload does before the detach.
  void WriteRecord(const Bytes &firmware, Record kind, size_t camera) {
    KV_PORT_CHAIN port;
    ASSERT_TRUE(KvrPortChainOf(PathOf(Handle(0, camera)), &port));
    if (kind == Record::OtherPort) {
      port.Path[port.Length - 2]++;  // the USB() node's port number
    }
    const DFU_TARGET target = {&port, 0x3B5A, 0x4C15};
    DFU_IN_FLIGHT_RECORD record;
    ASSERT_TRUE(DFUInFlightRecordOf(firmware.data(), firmware.size(), &target, &record));
    if (kind == Record::OtherImage) record.dwCrc32 ^= 1;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&record);
    const EFI_GUID guid = DFU_IN_FLIGHT_GUID;
    P.SetVariable(DFU_IN_FLIGHT_NAME, guid,
                  kind == Record::RunTimeAccess
                      ? DFU_IN_FLIGHT_ATTRIBUTES | EFI_VARIABLE_RUNTIME_ACCESS
                      : DFU_IN_FLIGHT_ATTRIBUTES,
                  std::vector<uint8_t>(bytes, bytes + sizeof record));
  }
};

// When no table entry matches, one look at the USB handles (no Stall, no request) finds a
// DFU ROM device by WaitForDFURomDevice's rule. DFUFwDownload resumes the update there,
// without a camera interface, only when the in-flight record says this image's update was
// cut short on that device's port; any other ROM device of the chip family is left alone.
TEST_P(StrandedCameraTest, UpdateResumesInTheRomDeviceOnlyWhereTheRecordSays) {
  const StrandedCase &c = GetParam();
  const camera::FirmwareIdentity newIds{0x1B3F, 0x4C15, 0x0101};
  Bytes firmware(0x3000, 0x5A);
  if (c.versionBlock) {
    capfmt::PutVersionBlock(firmware, {.vid = newIds.vid, .pid = newIds.pid,
                                       .version = newIds.version});
  }
  camera::Config other;  // found by discovery, named by no image
  other.device.idProduct = 0x9999;
  auto bystander = Attach(other);
  std::vector<std::shared_ptr<camera::Camera>> roms;
  for (uint16_t vid : c.romVids) {
    camera::Config config;
    config.dfuDownloadUnfinished = true;
    config.dfu.romVid = vid;
    roms.push_back(Attach(config));
  }
  std::shared_ptr<camera::Camera> matching;
  if (c.matchingCamera) {
    matching = Attach();
    matching->Misbehave().stalls.push_back({camera::CommandBlock(camera::kCommandGetDevQualify)});
  }
  if (c.record != Record::None) {
    WriteRecord(firmware, c.record, 1 + c.recordOn);
  }
  HandOver(Path::Hob, capfmt::MakeImage(0x3B5A, 0x4C15, firmware));
  InstallProgress();
  std::optional<size_t> transfersAtTen;
  progress.onReport = [&](UINTN) {
    if (!transfersAtTen) transfersAtTen = Transfers().size();
  };

  EXPECT_EQ(RunEntry(), c.status);
  const std::vector<std::string> log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), kResumeLine), c.resumedOn >= 0 ? 1 : 0);
  EXPECT_EQ(log.back(), kExit);
  EXPECT_EQ(P.Pool().outstanding, 2u);  // the record and its descriptor array
  EXPECT_EQ(bystander->Flash().Erases(), 0u);
  EXPECT_EQ(bystander->DfuDetaches(), 0u);

  for (size_t i = 0; i < roms.size(); i++) {
    SCOPED_TRACE("ROM device " + std::to_string(i));
    const camera::DfuRom *rom = roms[i]->Rom();
    if (static_cast<int>(i) == c.resumedOn) {
      EXPECT_EQ(rom->Image(), firmware);
      EXPECT_TRUE(rom->Manifested());
      EXPECT_EQ(roms[i]->CurrentPersona(), camera::Camera::Persona::Runtime);
      const std::vector<uint8_t> d = roms[i]->DeviceDescriptor();
      EXPECT_EQ(d[8] | d[9] << 8, newIds.vid);
    } else {
      EXPECT_THAT(rom->Image(), IsEmpty());  // not a single request
      EXPECT_EQ(roms[i]->CurrentPersona(), camera::Camera::Persona::DfuRom);
    }
  }
  ASSERT_TRUE(transfersAtTen.has_value());
  // After discovery, requests go to the device being updated, if any.
  const size_t updated = c.resumedOn >= 0 ? 1 + c.resumedOn : 1 + roms.size();
  for (size_t i = *transfersAtTen; i < Transfers().size(); i++) {
    EXPECT_EQ(Transfers()[i].port, Port(updated));
  }
  const EFI_GUID guid = DFU_IN_FLIGHT_GUID;
  const bool recordLeft = P.VariableData(DFU_IN_FLIGHT_NAME, guid).has_value();

  if (c.resumedOn >= 0) {
    ASSERT_GE(progress.percents.size(), 6u);
    EXPECT_THAT(std::vector<UINTN>(progress.percents.begin(), progress.percents.begin() + 2),
                ElementsAre(10u, 2u));
    EXPECT_THAT(std::vector<UINTN>(progress.percents.end() - 4, progress.percents.end()),
                ElementsAre(98u, 98u, 100u, 100u));
    EXPECT_EQ(log.end()[-2], "Update FW success\r\n");
    EXPECT_FALSE(recordLeft) << "the camera is back: nothing is stranded any more";
    return;
  }
  // Nothing resumed: no Stall and not a single request after discovery; a record stays.
  EXPECT_THAT(P.Stalls(), IsEmpty());
  EXPECT_EQ(recordLeft, c.record != Record::None);
  if (c.matchingCamera) {  // the discovery's look at the handles, and no other
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string &line) {
                              return line.rfind("Nunber of USB Handle is ", 0) == 0;
                            }),
              1);
    return;
  }
  EXPECT_THAT(progress.percents, ElementsAre(10u));
  EXPECT_EQ(Transfers().size(), *transfersAtTen);
  if (c.status == EFI_NOT_READY) {  // the ROM device is named
    char line[128];
    std::snprintf(line, sizeof line,
                  "DFU ROM device %04X:4C00 left alone: no interrupted update of this image on "
                  "its port\r\n",
                  c.romVids.back());
    EXPECT_EQ(log.end()[-2], line);
  } else {
    EXPECT_EQ(log.end()[-2], "Nunber of USB Handle is " + std::to_string(2 + c.romVids.size()) + "\r\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Recovery, StrandedCameraTest,
    ::testing::Values(
        StrandedCase{.name = "NoRomDevice"},
        StrandedCase{.name = "RomWithTheImageVid", .romVids = {0x1B3F}, .record = Record::OnRom,
                     .resumedOn = 0},
        StrandedCase{.name = "RomWith3B5A", .romVids = {0x3B5A}, .record = Record::OnRom,
                     .resumedOn = 0},
        StrandedCase{.name = "RomWithoutRecord", .romVids = {0x3B5A}, .status = EFI_NOT_READY},
        StrandedCase{.name = "RecordOfAnotherImage", .romVids = {0x3B5A},
                     .record = Record::OtherImage, .status = EFI_NOT_READY},
        StrandedCase{.name = "RecordOfAnotherPort", .romVids = {0x3B5A},
                     .record = Record::OtherPort, .status = EFI_NOT_READY},
        StrandedCase{.name = "RecordWithRunTimeAccess", .romVids = {0x3B5A},
                     .record = Record::RunTimeAccess, .status = EFI_NOT_READY},
        StrandedCase{.name = "RomWithAnotherVid", .romVids = {0x1234}},
        StrandedCase{.name = "RecordPicksTheSecondOfTwoRoms", .romVids = {0x3B5A, 0x1B3F},
                     .record = Record::OnRom, .recordOn = 1, .resumedOn = 1},
        StrandedCase{.name = "RecordPicksTheFirstOfTwoRoms", .romVids = {0x3B5A, 0x1B3F},
                     .record = Record::OnRom, .recordOn = 0, .resumedOn = 0},
        StrandedCase{.name = "NoVersionBlock", .romVids = {0x3B5A}, .versionBlock = false,
                     .status = EFI_NOT_READY},
        StrandedCase{.name = "NoVersionBlockRomWithAnotherVid", .romVids = {0x1B3F},
                     .versionBlock = false},
        StrandedCase{.name = "MatchingCameraNoScan", .romVids = {0x3B5A, 0x1B3F},
                     .matchingCamera = true, .status = EFI_DEVICE_ERROR}),
    [](const ::testing::TestParamInfo<StrandedCase> &info) { return info.param.name; });

// The device loop on a table the test writes, as the enumeration could never leave it.
class DeviceLoopTest : public UpdateRunTest {
 protected:
  void SetUp() override {
    UpdateRunTest::SetUp();
    pKVFmpPrivateData = (FmpPrivateData *)AllocateZeroPool(sizeof(FmpPrivateData));
    ASSERT_EQ(InitializeKVDescriptor(), EFI_SUCCESS);
    sim::ClearCapturedLog();
    header = reinterpret_cast<const KVN_FW_HEADER *>(image.data());
  }
  void TearDown() override {
    FreePool(pKVFmpPrivateData->pDescriptor);
    FreePool(pKVFmpPrivateData);
    pKVFmpPrivateData = nullptr;
    UpdateRunTest::TearDown();
  }
  void Entry(size_t index, EFI_USB_IO_PROTOCOL *io, UINT16 mode) {
    FmpPrivateData &r = *pKVFmpPrivateData;
    for (size_t camera = 0; camera < ports_.size(); camera++) {
      for (size_t i = 0; i < P.Usb().Handles(Port(camera)).size(); i++) {
        if (P.Usb().UsbIo(Port(camera), i) == io) {
          EXPECT_TRUE(KvrPortChainOf(PathOf(Handle(i, camera)), &r.PortChain[index]));
        }
      }
    }
    r.pUsbIo[index] = io;
    r.wVID[index] = 0x3B5A;
    r.wPID[index] = 0x4C15;
    r.wMode[index] = mode;
    r.wCount = (UINT16)std::max<size_t>(r.wCount, index + 1);
  }
  size_t TransfersTo(uint8_t port) const {
    size_t n = 0;
    for (const sim::Transfer &t : Transfers()) n += t.port == port;
    return n;
  }
  const KVN_FW_HEADER *header = nullptr;
};

TEST_F(DeviceLoopTest, UnknownModeTakesTheFlashPath) {
  auto camera = Attach();
  XuUnitId = 6;
  Entry(0, Io(), 7);
  EXPECT_EQ(UpdateFirstMatchingDevice(header, nullptr, EFI_NOT_FOUND), EFI_SUCCESS);
  EXPECT_EQ(camera->Flash().Contents(0, payload.size()), payload);
}

TEST_F(DeviceLoopTest, OnlyTheLowestMatchingEntryIsTriedEvenWhenItFails) {
  auto first = Attach();
  auto second = Attach();
  XuUnitId = 6;
  first->Misbehave().stalls.push_back({camera::CommandBlock(camera::kCommandGetDevQualify)});
  Entry(0, Io(0, 0), UPDATE_MODE_RUNTIME);
  Entry(1, Io(0, 1), UPDATE_MODE_RUNTIME);
  EXPECT_EQ(UpdateFirstMatchingDevice(header, nullptr, EFI_SUCCESS), EFI_DEVICE_ERROR);
  EXPECT_THAT(Log(), ::testing::Not(::testing::Contains("Update FW success\r\n")));
  EXPECT_GT(TransfersTo(Port(0)), 0u);
  EXPECT_EQ(TransfersTo(Port(1)), 0u);
}

TEST_F(DeviceLoopTest, NullSlotIsSkippedSilentlyAndAFailedDescriptorReadStillMatches) {
  auto camera = Attach();
  XuUnitId = 6;
  Entry(0, nullptr, UPDATE_MODE_RUNTIME);
  Entry(1, Io(), UPDATE_MODE_RUNTIME);
  P.Usb().FailDescriptorGetter(Port(), sim::DescriptorGetter::Device, EFI_DEVICE_ERROR);
  EXPECT_EQ(UpdateFirstMatchingDevice(header, nullptr, EFI_SUCCESS), EFI_SUCCESS);
  EXPECT_EQ(camera->Flash().Contents(0, payload.size()), payload);
  ASSERT_GE(Log().size(), 3u);
  EXPECT_EQ(Log()[0], "KvrFmpDriver: Get device descriptor failed:0x7.\n");
  EXPECT_EQ(Log()[1], "pKVFmpPrivateData-> wVID = 3b5a, pKVFmpPrivateData->wPID = 4c15\r\n");
  EXPECT_EQ(Log()[2], "Find match HWID, Try to update FW\r\n");
}

TEST_F(DeviceLoopTest, EntryOneInModeOneIsUpdatedThroughItsOwnDfuInterface) {
  camera::Config other;
  other.device.idProduct = 0x9999;
  Attach(other);
  camera::Config withDfu;
  withDfu.dfuInterface = true;
  auto camera = Attach(withDfu);
  const Bytes dfuPayload = DfuPayload(
      126992, {.offset = 0x1300, .chipId = 0x4C15, .vid = 0x3B5A, .pid = 0x4C15, .version = 0x0203});
  const Bytes dfuImage = capfmt::MakeImage(0x3B5A, 0x4C15, dfuPayload);
  Entry(0, Io(0, 0), UPDATE_MODE_DFU);  // the device says it is another camera
  pKVFmpPrivateData->wInterfaceNumber[0] = 1;
  Entry(1, Io(2, 1), UPDATE_MODE_DFU);
  pKVFmpPrivateData->wInterfaceNumber[1] = 2;
  EXPECT_EQ(UpdateFirstMatchingDevice(reinterpret_cast<const KVN_FW_HEADER *>(dfuImage.data()),
                                      nullptr, EFI_NOT_FOUND),
            EFI_SUCCESS);
  EXPECT_EQ(TransfersTo(Port(0)), 0u);
  // The allow-update request and DFU_DETACH go through entry 1's own interface, the detach
  // naming that interface's number.
  ASSERT_GE(Transfers().size(), 2u);
  EXPECT_EQ(WireRequest::Of(Transfers()[0]), (WireRequest{0x00, 0x1B, 1, 0, 0, EfiUsbNoData, 5000}));
  EXPECT_EQ(WireRequest::Of(Transfers()[1]), (WireRequest{0x21, 0x00, 5000, 2, 0, EfiUsbNoData, 5000}));
  for (size_t i : {0, 1}) {
    EXPECT_EQ(Transfers()[i].port, Port(1));
    EXPECT_EQ(Transfers()[i].interfaceNumber, 2);
  }
  EXPECT_EQ(camera->Rom()->Image(), Bytes(dfuPayload.begin(), dfuPayload.begin() + 126976));
  EXPECT_EQ(camera->Settings().device.bcdDevice, 0x0203);
  EXPECT_EQ(Log().back(), "Update FW success\r\n");
}

TEST_F(DeviceLoopTest, DescriptorRefreshDecidesTheMatchAndOnlyEntryZeroHasAVersion) {
  camera::Config other;
  other.device.idProduct = 0x9999;
  other.device.bcdDevice = 0x0321;
  Attach(other);
  Entry(0, Io(), UPDATE_MODE_RUNTIME);  // stored as a match, but the device says otherwise
  EXPECT_EQ(UpdateFirstMatchingDevice(header, nullptr, EFI_NOT_FOUND), EFI_NOT_FOUND);
  EXPECT_EQ(pKVFmpPrivateData->wPID[0], 0x9999);
  EXPECT_EQ(pKVFmpPrivateData->pDescriptor[0].Version, 0x0321u);
  EXPECT_EQ(Log()[0], "Original FW Version is 321\r\n");
}

// ---------------------------------------------------------------- two devices on the bus

// Worlds with a second device: twin cameras, another model's camera stranded in its DFU ROM
// device (whose VID:PID the whole chip family shares), a hub. The right device or nothing:
// after discovery every request goes to the camera's port.
class TwoDevicesTest : public UpdateRunTest {
 protected:
  static camera::Config DfuCapable(uint16_t pid = 0x4C15) {
    camera::Config config;
    config.device.idProduct = pid;
    camera::InformationFields fields;
    fields.chipId = 0x4C15;
    config.information = camera::DeviceInformation(fields);
    return config;
  }
  // Another model (3B5A:9999) left in its ROM device by its own interrupted update.
  static camera::Config OtherModelsRom() {
    camera::Config config = DfuCapable(0x9999);
    config.dfuDownloadUnfinished = true;
    return config;
  }
  // Runs the entry point; counts the transfers made before the 10 percent report.
  EFI_STATUS Run() {
    HandOver(Path::Hob, dfuImage);
    InstallProgress();
    progress.onReport = [&](UINTN) {
      if (!discovery) discovery = Transfers().size();
    };
    return RunEntry();
  }
  // The slots that got a request after discovery.
  std::set<uint8_t> PortsAfterDiscovery() const {
    std::set<uint8_t> ports;
    for (size_t i = discovery.value_or(0); i < Transfers().size(); i++) {
      ports.insert(Transfers()[i].port);
    }
    return ports;
  }
  static bool Untouched(camera::Camera &c) {
    return !c.UpdateAllowed() && c.DfuDetaches() == 0 && c.Flash().Erases() == 0 &&
           (c.Rom() == nullptr || c.Rom()->Image().empty());
  }
  bool HoldsImage(camera::Camera &c) {
    return scenario::CameraHoldsPayload(c, dfuPayload, nullptr);
  }
  bool RecordLeft() const {
    const EFI_GUID guid = DFU_IN_FLIGHT_GUID;
    return P.VariableData(DFU_IN_FLIGHT_NAME, guid).has_value();
  }

  Bytes dfuPayload = DfuPayload(5 * 4096 + 1000, {.offset = 0x1300, .chipId = 0x4C15,
                                                  .vid = 0x3B5A, .pid = 0x4C15, .version = 0x0203});
  Bytes dfuImage = capfmt::MakeImage(0x3B5A, 0x4C15, dfuPayload);
  std::optional<size_t> discovery;
};

// A: camera A's update does not take; its twin B already runs the new version. B used to
// answer the wait for the camera's return.
TEST_F(TwoDevicesTest, TwinAlreadyOnTheNewVersionDoesNotStandInForTheCamera) {
  auto a = Attach(DfuCapable());
  a->Misbehave().dfu.keepOldVersion = true;
  camera::Config twin = DfuCapable();
  twin.device.bcdDevice = 0x0203;
  auto b = Attach(twin);
  EXPECT_EQ(Run(), EFI_DEVICE_ERROR);
  EXPECT_EQ(a->Settings().device.bcdDevice, 0x0102);
  EXPECT_TRUE(Untouched(*b));
  EXPECT_EQ(PortsAfterDiscovery(), std::set<uint8_t>{Port(0)});
  EXPECT_FALSE(RecordLeft()) << "A is back on its port: nothing is stranded";
  EXPECT_EQ(progress.percents.back(), 98u);
}

// B: another model stranded in its ROM device used to receive the camera's image at the
// first look after the camera's detach.
class RomBesideTheCameraTest : public TwoDevicesTest,
                               public ::testing::WithParamInterface<bool> {};

TEST_P(RomBesideTheCameraTest, AnotherModelsRomDeviceIsNeverTakenForTheCamera) {
  auto rom = Attach(OtherModelsRom());  // first in handle order, there at the first look
  camera::Config config = DfuCapable();
  config.dfuInterface = GetParam();
  auto cam = Attach(config);
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_TRUE(HoldsImage(*cam));
  EXPECT_TRUE(Untouched(*rom));
  EXPECT_EQ(rom->CurrentPersona(), camera::Camera::Persona::DfuRom);
  EXPECT_EQ(PortsAfterDiscovery(), std::set<uint8_t>{Port(1)});
  EXPECT_FALSE(RecordLeft());
}

INSTANTIATE_TEST_SUITE_P(Modes, RomBesideTheCameraTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return info.param ? "Mode1" : "Mode2";
                         });

// D: behind a hub, the camera's port chain has two USB() nodes; the other model's ROM
// device on the hub's next port differs from it in the last one only.
TEST_F(TwoDevicesTest, BehindAHubOnlyTheCamerasHubPortIsWaitedOn) {
  const uint8_t hub = P.Usb().Attach(std::make_shared<usb::Hub>());
  auto cam = std::make_shared<camera::Camera>(DfuCapable());
  auto rom = std::make_shared<camera::Camera>(OtherModelsRom());
  const uint8_t camPort = P.Usb().AttachToHub(hub, 1, cam);
  const uint8_t romPort = P.Usb().AttachToHub(hub, 2, rom);
  KV_PORT_CHAIN camChain, romChain;
  ASSERT_TRUE(KvrPortChainOf(PathOf(P.Usb().Handles(camPort).at(0)), &camChain));
  ASSERT_TRUE(KvrPortChainOf(PathOf(P.Usb().Handles(romPort).at(0)), &romChain));
  EXPECT_EQ(camChain.Length, 12 + 6 + 2 * 6);  // ACPI, PCI, the hub's port, the camera's
  EXPECT_FALSE(KvrSamePort(&camChain, &romChain));
  EXPECT_EQ(std::memcmp(camChain.Path, romChain.Path, camChain.Length - 2), 0);

  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_TRUE(HoldsImage(*cam));
  EXPECT_TRUE(Untouched(*rom));
  EXPECT_EQ(PortsAfterDiscovery(), std::set<uint8_t>{camPort});
}

// E: requests of the probe that fail used to hide the camera: EFI_SUCCESS, progress 10,
// nothing written. A device that answered and is not the camera stays no camera.
struct ProbeFaultCase {
  const char *name;
  uint16_t faultedPid;  // the device whose two configuration reads stall (0: none)
  bool otherXu;         // the image's IDs on a device without the camera's unit
  EFI_STATUS status;
};
class ProbeFaultTest : public TwoDevicesTest,
                       public ::testing::WithParamInterface<ProbeFaultCase> {};

TEST_P(ProbeFaultTest, ProbeThatCouldNotFinishOnTheImagesIdsIsAScanFault) {
  const ProbeFaultCase &c = GetParam();
  camera::Config config = DfuCapable();
  if (c.otherXu) config.extensionUnits = {{6, camera::Guid{}}};
  auto cam = Attach(config);
  auto other = Attach(DfuCapable(0x9999));
  if (c.faultedPid != 0) {
    (c.faultedPid == 0x4C15 ? cam : other)
        ->Misbehave()
        .stalls.push_back({camera::Request(0x80, usb::kGetDescriptor), 0, 2});
  }
  EXPECT_EQ(Run(), c.status);
  EXPECT_EQ(progress.percents, std::vector<UINTN>{10});
  EXPECT_TRUE(Untouched(*cam));
  EXPECT_TRUE(Untouched(*other));
  const std::vector<std::string> log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "USB scan incomplete (Device Error): a camera may have been missed\r\n"),
            c.status == EFI_DEVICE_ERROR ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Discovery, ProbeFaultTest,
    ::testing::Values(ProbeFaultCase{"CamerasReadsStall", 0x4C15, false, EFI_DEVICE_ERROR},
                      ProbeFaultCase{"AnotherModelsReadsStall", 0x9999, true, EFI_SUCCESS},
                      ProbeFaultCase{"AnsweredNotTheCamera", 0, true, EFI_SUCCESS}),
    [](const ::testing::TestParamInfo<ProbeFaultCase> &info) { return info.param.name; });

// The record as the guide lays it out, read back after a power loss in the download.
TEST_F(TwoDevicesTest, InFlightRecordHoldsThePortTheImageAndWhatTheDownloadSends) {
  auto cam = Attach(DfuCapable());
  cam->Misbehave().powerCut = camera::PowerCutRule{camera::DfuBlockDownload(2), 0};
  EXPECT_EQ(Run(), EFI_DEVICE_ERROR);
  uint32_t attributes = 0;
  const EFI_GUID guid = DFU_IN_FLIGHT_GUID;
  const std::optional<std::vector<uint8_t>> record =
      P.VariableData(DFU_IN_FLIGHT_NAME, guid, &attributes);
  ASSERT_TRUE(record.has_value()) << "the camera is stranded: the record stays";
  EXPECT_EQ(attributes, 0x3u);
  ASSERT_EQ(record->size(), 153u);
  const auto u16 = [&](size_t at) { return (*record)[at] | (*record)[at + 1] << 8; };
  const auto u32 = [&](size_t at) { return (uint32_t)(u16(at) | u16(at + 2) << 16); };
  EXPECT_EQ(std::string(record->begin(), record->begin() + 4), "KVIF");
  EXPECT_EQ(u16(4), 1);
  EXPECT_EQ(std::vector<int>({u16(6), u16(8), u16(10), u16(12), u16(14)}),
            std::vector<int>({0x3B5A, 0x4C15, 0x3B5A, 0x4C15, 0x0203}));
  const uint32_t sent = 5 * 4096 + 1000;  // no size-table row, not 16 past a multiple of 1024
  EXPECT_EQ(u32(16), sent);
  uint32_t crc = 0xFFFFFFFF;  // CRC-32, reflected, bit by bit
  for (size_t i = 0; i < sent; i++) {
    crc ^= dfuPayload[i];
    for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
  }
  EXPECT_EQ(u32(20), ~crc);
  std::vector<uint8_t> chain(12 + 6 + 6);  // ACPI(), PCI(), USB(port, interface)
  std::memcpy(chain.data(), PathOf(Handle()), chain.size());
  chain.back() = 0;  // the interface number left out
  EXPECT_EQ((*record)[24], chain.size());
  EXPECT_EQ(std::vector<uint8_t>(record->begin() + 25, record->begin() + 25 + chain.size()), chain);
  EXPECT_EQ(std::count(record->begin() + 25 + chain.size(), record->end(), 0),
            128 - (long)chain.size());
}

TEST_F(TwoDevicesTest, StoreThatRefusesTheRecordLeavesTheUpdateAsItWas) {
  auto cam = Attach(DfuCapable());
  P.FailSetVariable(u"", EFI_WRITE_PROTECTED);
  EXPECT_EQ(Run(), EFI_SUCCESS);
  EXPECT_TRUE(HoldsImage(*cam));
  const std::vector<std::string> log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "In-flight record not written (Write Protected): an interrupted update "
                       "could not be resumed\r\n"),
            1);
}

}  // namespace
