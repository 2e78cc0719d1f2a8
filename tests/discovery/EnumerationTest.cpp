// Camera enumeration: one entry per VID/PID in any handle order, DFU interfaces, the
// DFU-capable chips, the table's capacity and handles that cannot be used.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>

#include "camera/CameraFixture.h"
#include "discovery/Discovery.h"
#include "driver/Driver.h"
#include "sim/Log.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace uvc = camera::uvc;

const EFI_GUID kUsbIoGuid = EFI_USB_IO_PROTOCOL_GUID;
const EFI_GUID kDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;

const std::string kEnter = "GetUsbIoByLocateHandleBuffer() =>\r\n";
const std::string kLeave = "GetUsbIoByLocateHandleBuffer() <=\r\n";
const std::string kFoundLine =
    "KvrFmpDriver: VID_3B5A PID_4C15 bcdDevice_0102 - Class 0xEF, SubClass 2, Protocol 1\n";
const std::string kUnitLine = "KvrFmpDriver: Found Korvane Camera, XU 6\n";

std::string HandleLine(size_t index, EFI_HANDLE handle) {
  return "UsbHandleArray[" + std::to_string(index) + "] = " + Hex32(handle) + "\r\n";
}

// ---------------------------------------------------------------- boot-service wrappers

// LocateHandleBuffer as the platform's, with the handles put in the order a test chooses.
EFI_LOCATE_HANDLE_BUFFER gRealLocate;
std::vector<size_t> gOrder;
int gLocateCalls;
EFI_STATUS EFIAPI OrderedLocate(EFI_LOCATE_SEARCH_TYPE type, EFI_GUID *protocol, VOID *key,
                                UINTN *count, EFI_HANDLE **buffer) {
  gLocateCalls++;
  EFI_STATUS status = gRealLocate(type, protocol, key, count, buffer);
  if (!EFI_ERROR(status) && !gOrder.empty()) {
    EXPECT_EQ(gOrder.size(), *count);
    std::vector<EFI_HANDLE> handles(*buffer, *buffer + *count);
    for (size_t i = 0; i < gOrder.size(); i++) {
      (*buffer)[i] = handles[gOrder[i]];
    }
  }
  return status;
}

// HandleProtocol as the platform's, except that one handle has lost its USB I/O protocol.
EFI_HANDLE_PROTOCOL gRealHandleProtocol;
EFI_HANDLE gBrokenHandle;
EFI_STATUS EFIAPI BrokenHandleProtocol(EFI_HANDLE handle, EFI_GUID *protocol, VOID **interface) {
  if (handle == gBrokenHandle && KvrCompareGuid(protocol, &kUsbIoGuid)) {
    return EFI_UNSUPPORTED;
  }
  return gRealHandleProtocol(handle, protocol, interface);
}

// ---------------------------------------------------------------- cameras beyond the bus

// Cameras reached through USB I/O instances of the test's own: the simulated bus has fewer
// root ports than the device table has entries. Control transfers go to the camera model.
struct LooseInterface {
  EFI_USB_IO_PROTOCOL io;  // first, so that This leads back here
  camera::Camera *device;
  EFI_USB_INTERFACE_DESCRIPTOR descriptor;
  std::vector<uint8_t> path;
  EFI_HANDLE handle;

  static LooseInterface &Of(EFI_USB_IO_PROTOCOL *This) {
    return *reinterpret_cast<LooseInterface *>(This);
  }
  static EFI_STATUS EFIAPI Control(EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_REQUEST *Request,
                                   EFI_USB_DATA_DIRECTION Direction, UINT32, VOID *Data,
                                   UINTN DataLength, UINT32 *Status) {
    std::vector<uint8_t> out;
    if (Direction == EfiUsbDataOut) {
      out.assign((uint8_t *)Data, (uint8_t *)Data + DataLength);
    }
    const usb::Reply reply = Of(This).device->Control(
        {Request->RequestType, Request->Request, Request->Value, Request->Index, Request->Length},
        out);
    if (reply.outcome != usb::Outcome::Ack) {
      *Status = EFI_USB_ERR_STALL;
      return EFI_DEVICE_ERROR;
    }
    if (Direction == EfiUsbDataIn) {
      std::memcpy(Data, reply.data.data(), std::min<size_t>(reply.data.size(), DataLength));
    }
    *Status = EFI_USB_NOERROR;
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Device(EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_DESCRIPTOR *Out) {
    std::memcpy(Out, Of(This).device->DeviceDescriptor().data(), sizeof *Out);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Config(EFI_USB_IO_PROTOCOL *This, EFI_USB_CONFIG_DESCRIPTOR *Out) {
    std::memcpy(Out, Of(This).device->ConfigurationDescriptor().data(), sizeof *Out);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Interface(EFI_USB_IO_PROTOCOL *This, EFI_USB_INTERFACE_DESCRIPTOR *Out) {
    *Out = Of(This).descriptor;
    return EFI_SUCCESS;
  }
};

class LooseCameras {
 public:
  explicit LooseCameras(sim::Platform &platform) : platform_(platform) {}

  // One handle per interface of the camera, in descriptor order.
  void Add(camera::Config config) {
    cameras_.push_back(std::make_unique<camera::Camera>(std::move(config)));
    camera::Camera *device = cameras_.back().get();
    const std::vector<uint8_t> bytes = device->ConfigurationDescriptor();
    for (size_t at = bytes[0]; at + 1 < bytes.size(); at += bytes[at]) {
      if (bytes[at + 1] != USB_DESC_TYPE_INTERFACE) continue;
      auto loose = std::make_unique<LooseInterface>();
      loose->io.UsbControlTransfer = LooseInterface::Control;
      loose->io.UsbGetDeviceDescriptor = LooseInterface::Device;
      loose->io.UsbGetConfigDescriptor = LooseInterface::Config;
      loose->io.UsbGetInterfaceDescriptor = LooseInterface::Interface;
      loose->device = device;
      std::memcpy(&loose->descriptor, &bytes[at], sizeof loose->descriptor);
      const uint8_t port = static_cast<uint8_t>(cameras_.size());
      loose->path = {HARDWARE_DEVICE_PATH,
                     HW_PCI_DP,
                     6,
                     0,
                     0,
                     0x14,
                     MESSAGING_DEVICE_PATH,
                     MSG_USB_DP,
                     6,
                     0,
                     port,
                     loose->descriptor.InterfaceNumber,
                     END_DEVICE_PATH_TYPE,
                     END_ENTIRE_DEVICE_PATH_SUBTYPE,
                     4,
                     0};
      loose->handle = platform_.CreateHandle();
      platform_.InstallProtocol(loose->handle, kUsbIoGuid, &loose->io);
      platform_.InstallProtocol(loose->handle, kDevicePathGuid, loose->path.data());
      interfaces_.push_back(std::move(loose));
    }
  }
  // The USB I/O instance of a camera's interface.
  EFI_USB_IO_PROTOCOL *Io(size_t camera, uint8_t interfaceNumber) const {
    for (const auto &loose : interfaces_) {
      if (loose->device == cameras_.at(camera).get() &&
          loose->descriptor.InterfaceNumber == interfaceNumber) {
        return &loose->io;
      }
    }
    return nullptr;
  }

 private:
  sim::Platform &platform_;
  std::vector<std::unique_ptr<camera::Camera>> cameras_;
  std::vector<std::unique_ptr<LooseInterface>> interfaces_;
};

// ---------------------------------------------------------------- fixture

class EnumerationTest : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    pKVFmpPrivateData = (FmpPrivateData *)AllocateZeroPool(sizeof(FmpPrivateData));
    ASSERT_NE(pKVFmpPrivateData, nullptr);
    ASSERT_EQ(InitializeKVDescriptor(), EFI_SUCCESS);
    sim::ClearCapturedLog();
    gOrder.clear();
    gLocateCalls = 0;
    gRealLocate = P.BootServices()->LocateHandleBuffer;
    P.BootServices()->LocateHandleBuffer = OrderedLocate;
  }
  void TearDown() override {
    FreePool(pKVFmpPrivateData->pDescriptor);
    FreePool(pKVFmpPrivateData);
    pKVFmpPrivateData = nullptr;
    CameraTest::TearDown();
  }
  FmpPrivateData &R() { return *pKVFmpPrivateData; }
  // An empty table again, as a fresh record has it.
  void EmptyTable() {
    EFI_FIRMWARE_IMAGE_DESCRIPTOR *descriptor = R().pDescriptor;
    std::memset(&R(), 0, sizeof(FmpPrivateData));
    R().pDescriptor = descriptor;
    descriptor->Version = 0;
  }
  size_t ChipQueries() const {
    return std::count_if(Transfers().begin(), Transfers().end(), [](const sim::Transfer &t) {
      return t.setup.RequestType == 0x21 && t.setup.Request == 0x01;
    });
  }
};

camera::Config WithDfu() {
  camera::Config config;
  config.dfuInterface = true;
  return config;
}

camera::Config WithChip(uint16_t idProduct, uint16_t chipId, uint16_t chipVid = 0x3B5A) {
  camera::Config config;
  config.device.idProduct = idProduct;
  config.information = camera::DeviceInformation({.chipVid = chipVid, .chipId = chipId});
  return config;
}

// ---------------------------------------------------------------- one camera

TEST_F(EnumerationTest, NoUsbHandlesNoEntries) {
  GetUsbIoByLocateHandleBuffer();
  EXPECT_EQ(R().wCount, 0);
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(Log(), ElementsAre(kEnter, "Need to Re-scan Device\r\n",
                                 "Nunber of USB Handle is 0\r\n", kLeave));
}

TEST_F(EnumerationTest, RuntimeCameraIsOneEntryFromItsFirstInterface) {
  auto cam = Attach();
  const uint16_t total = static_cast<uint16_t>(cam->ConfigurationDescriptor().size());
  GetUsbIoByLocateHandleBuffer();

  ASSERT_EQ(R().wCount, 1);
  EXPECT_EQ(R().pUsbIo[0], Io(0));
  EXPECT_EQ(R().wVID[0], 0x3B5A);
  EXPECT_EQ(R().wPID[0], 0x4C15);
  EXPECT_EQ(R().wFwVersion[0], 0x0102);
  EXPECT_EQ(R().wMode[0], UPDATE_MODE_RUNTIME);
  EXPECT_EQ(R().wInterfaceNumber[0], 0);
  EXPECT_EQ(R().pDevicePath, PathOf(Handle(0)));
  EXPECT_EQ(R().pDescriptor[0].Version, 0x0102u);
  EXPECT_THAT(Wire(), ElementsAre(GetConfiguration(total), GetConfiguration(total), XuSetCur(6),
                                  XuGetCur(6)));
  EXPECT_THAT(
      Log(),
      ElementsAre(kEnter, "Need to Re-scan Device\r\n", "Nunber of USB Handle is 2\r\n",
                  HandleLine(0, Handle(0)), kFoundLine, kUnitLine, "Final Find !!!!!!!!\n",
                  HandleLine(1, Handle(1)), kFoundLine, kUnitLine, "Try to get Chip VID/PID\n",
                  "KvrFmpDriver: VendorCMD:Chip VID_3B5A PID_4C01\r\n", kLeave));
}

TEST_F(EnumerationTest, DfuInterfaceMetLastTakesTheEntryOver) {
  Attach(WithDfu());
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 1);
  EXPECT_EQ(R().wMode[0], UPDATE_MODE_DFU);
  EXPECT_EQ(R().pUsbIo[0], Io(2));
  EXPECT_EQ(R().wInterfaceNumber[0], 2);
  EXPECT_EQ(ChipQueries(), 0u);  // a DFU entry is never asked for its chip
  const std::vector<std::string> log = Log();
  const std::vector<std::string> tail(log.end() - 4, log.end());
  EXPECT_THAT(
      tail, ElementsAre("Override DFU Korvane camera Final Find !!!!!!!!\n",
                        "USBIO = " + Hex32(Io(2)) + "\r\n", "DFU interface number = 2\n", kLeave));
}

TEST_F(EnumerationTest, DfuInterfaceMetFirstCreatesTheEntry) {
  Attach(WithDfu());
  gOrder = {2, 0, 1};
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 1);
  EXPECT_EQ(R().wMode[0], UPDATE_MODE_DFU);
  EXPECT_EQ(R().pDevicePath, PathOf(Handle(2)));
  EXPECT_THAT(Log(),
              ElementsAre(kEnter, "Need to Re-scan Device\r\n", "Nunber of USB Handle is 3\r\n",
                          HandleLine(0, Handle(2)), kFoundLine, kUnitLine,
                          "DFU Korvane camera Final Find !!!!!!!!\n", "DFU interface number = 2\n",
                          HandleLine(1, Handle(0)), kFoundLine, kUnitLine, HandleLine(2, Handle(1)),
                          kFoundLine, kUnitLine, kLeave));
}

TEST_F(EnumerationTest, DfuCameraIsOneDfuEntryInEveryHandleOrder) {
  Attach(WithDfu());
  std::vector<size_t> order{0, 1, 2};
  do {
    EmptyTable();
    gOrder = order;
    GetUsbIoByLocateHandleBuffer();
    SCOPED_TRACE(::testing::PrintToString(order));
    ASSERT_EQ(R().wCount, 1);
    EXPECT_EQ(R().wMode[0], UPDATE_MODE_DFU);
    EXPECT_EQ(R().pUsbIo[0], Io(2));
    EXPECT_EQ(R().wInterfaceNumber[0], 2);
    EXPECT_EQ(R().wFwVersion[0], 0x0102);
    EXPECT_EQ(R().pDescriptor[0].Version, 0x0102u);
    EXPECT_EQ(R().pDevicePath, PathOf(Handle(order[0])));
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(ChipQueries(), 0u);
}

TEST_F(EnumerationTest, ClassFeInterfaceThatIsNotTheLastIsOrdinary) {
  camera::Config config;
  config.configuration = usb::Configuration(
      {}, {usb::InterfaceDescriptor(0, 0, 0, uvc::kClassVideo, uvc::kSubclassVideoControl, 1),
           uvc::VcHeader(0x0150, 0, 2), uvc::ExtensionUnit(6, camera::kCameraXuGuid, 1),
           usb::InterfaceDescriptor(1, 0, 0, 0xFE, 1, 1), camera::dfu::Functional(0x0B, 5000, 4096),
           usb::InterfaceDescriptor(2, 0, 0, uvc::kClassVideo, uvc::kSubclassVideoStreaming, 1)});
  Attach(config);
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 1);
  EXPECT_EQ(R().wMode[0], UPDATE_MODE_RUNTIME);
  EXPECT_EQ(R().pUsbIo[0], Io(0));
  EXPECT_EQ(ChipQueries(), 1u);
}

// ---------------------------------------------------------------- several cameras

TEST_F(EnumerationTest, IdenticalCamerasAreOneEntryAndTheLastDfuInterfaceWins) {
  Attach(WithDfu());
  Attach(WithDfu());
  const std::vector<EFI_USB_IO_PROTOCOL *> dfu{Io(2, 0), Io(2, 1)};
  std::vector<EFI_HANDLE> handles;
  for (size_t c = 0; c < 2; c++) {
    for (size_t i = 0; i < 3; i++) handles.push_back(Handle(i, c));
  }
  std::vector<size_t> order(6);
  std::iota(order.begin(), order.end(), 0);
  do {
    EmptyTable();
    sim::ClearCapturedLog();
    gOrder = order;
    GetUsbIoByLocateHandleBuffer();
    SCOPED_TRACE(::testing::PrintToString(order));
    ASSERT_EQ(R().wCount, 1);
    EXPECT_EQ(R().wMode[0], UPDATE_MODE_DFU);
    EXPECT_EQ(R().wInterfaceNumber[0], 2);
    const size_t lastDfu = std::max(std::find(order.begin(), order.end(), 2) - order.begin(),
                                    std::find(order.begin(), order.end(), 5) - order.begin());
    EXPECT_EQ(R().pUsbIo[0], dfu[order[lastDfu] / 3]);
    EXPECT_EQ(R().pDevicePath, PathOf(handles[order[0]]));
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST_F(EnumerationTest, SecondIdenticalRuntimeCameraIsDropped) {
  Attach();
  Attach();
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 1);
  EXPECT_EQ(R().pUsbIo[0], Io(0, 0));
  EXPECT_EQ(ChipQueries(), 1u);
}

TEST_F(EnumerationTest, FirstRecordedHandleNamesTheDevicePathAndVersion) {
  camera::Config second;
  second.device.idProduct = 0x4C99;
  second.device.bcdDevice = 0x0777;
  Attach();
  Attach(second);
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 2);
  EXPECT_EQ(R().wPID[1], 0x4C99);
  EXPECT_EQ(R().wFwVersion[1], 0x0777);
  EXPECT_EQ(R().pDescriptor[0].Version, 0x0102u);
  EXPECT_EQ(R().pDevicePath, PathOf(Handle(0, 0)));
}

// ---------------------------------------------------------------- DFU-capable chips

TEST(DfuCapableChipTest, SixChipIdsOfOneVendor) {
  std::vector<uint16_t> capable;
  for (uint32_t id = 0; id <= 0xFFFF; id++) {
    if (IsDfuCapableChip(0x3B5A, static_cast<uint16_t>(id))) capable.push_back(id);
  }
  EXPECT_THAT(capable, ElementsAre(0x4C10, 0x4C15, 0x4C16, 0x4C17, 0x4C18, 0x4C37));
  EXPECT_FALSE(IsDfuCapableChip(0x3B5B, 0x4C15));
  EXPECT_FALSE(IsDfuCapableChip(0x0000, 0x4C10));
}

TEST_F(EnumerationTest, RuntimeCameraOnADfuCapableChipBecomesDfuCapable) {
  Attach(WithChip(0x4C15, 0x4C15));
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 1);
  EXPECT_EQ(R().wMode[0], UPDATE_MODE_DFU_CAPABLE);
  const std::vector<std::string> log = Log();
  EXPECT_EQ(log[log.size() - 2], "Chip ID is 4c15, support DFU\n");
}

TEST_F(EnumerationTest, OtherChipsStayRuntime) {
  Attach(WithChip(0x0001, 0x4C11));          // in the window, bit clear
  Attach(WithChip(0x0002, 0x4C38));          // past the window
  Attach(WithChip(0x0003, 0x4C15, 0x3B5B));  // another chip vendor
  Attach(WithChip(0x0004, 0x4C0F));          // below the window
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 4);
  EXPECT_THAT(std::vector<uint16_t>(R().wMode, R().wMode + 4), ElementsAre(0, 0, 0, 0));
  EXPECT_EQ(ChipQueries(), 4u);
}

TEST_F(EnumerationTest, OnlyTheCapableOfTwoRuntimeCamerasChanges) {
  Attach(WithChip(0x0001, 0x4C20));
  Attach(WithChip(0x0002, 0x4C37));
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 2);
  EXPECT_EQ(R().wMode[0], UPDATE_MODE_RUNTIME);
  EXPECT_EQ(R().wMode[1], UPDATE_MODE_DFU_CAPABLE);
}

TEST_F(EnumerationTest, ChipThatCannotAnswerStaysRuntime) {
  auto cam = Attach(WithChip(0x4C15, 0x4C15));
  cam->Misbehave().romCode = true;
  GetUsbIoByLocateHandleBuffer();
  EXPECT_EQ(R().wMode[0], UPDATE_MODE_RUNTIME);
}

TEST_F(EnumerationTest, FilledTableOnlyRepeatsTheChipQuery) {
  Attach(WithChip(0x4C16, 0x4C16));
  R().pUsbIo[0] = Io(0);
  R().wCount = 1;
  XuUnitId = 6;
  GetUsbIoByLocateHandleBuffer();
  EXPECT_EQ(gLocateCalls, 0);
  EXPECT_EQ(R().wMode[0], UPDATE_MODE_DFU_CAPABLE);
  EXPECT_THAT(Wire(), ElementsAre(XuSetCur(6), XuGetCur(6)));
  EXPECT_THAT(Log(), ElementsAre(kEnter, "Try to get Chip VID/PID\n",
                                 "KvrFmpDriver: VendorCMD:Chip VID_3B5A PID_4C16\r\n",
                                 "Chip ID is 4c16, support DFU\n", kLeave));
}

// ---------------------------------------------------------------- handles that cannot be used

TEST_F(EnumerationTest, HandleWithoutUsbIoIsSkippedAfterItsMessage) {
  Attach();
  gBrokenHandle = Handle(0);
  gRealHandleProtocol = P.BootServices()->HandleProtocol;
  P.BootServices()->HandleProtocol = BrokenHandleProtocol;
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 1);
  EXPECT_EQ(R().pUsbIo[0], Io(1));
  EXPECT_EQ(Transfers()[0].interfaceNumber, 1);  // nothing was sent for the first handle
  const std::vector<std::string> log = Log();
  EXPECT_THAT(
      std::vector<std::string>(log.begin() + 3, log.begin() + 6),
      ElementsAre(HandleLine(0, Handle(0)),
                  "0 call HandleProtocol fail, EFI_Hand=0x" + HexPointer(Handle(0)) + "\r\n",
                  HandleLine(1, Handle(1))));
}

TEST_F(EnumerationTest, HandleWithoutDevicePathIsSkippedSilently) {
  Attach();
  P.UninstallProtocol(Handle(0), kDevicePathGuid);
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 1);
  EXPECT_EQ(R().pUsbIo[0], Io(1));
  EXPECT_EQ(R().pDevicePath, PathOf(Handle(1)));
}

TEST_F(EnumerationTest, DeviceWithoutTheCameraUnitIsNotSupported) {
  camera::Config config;
  config.extensionUnits = {{6, camera::kSecondaryXuGuid}};
  Attach(config);
  GetUsbIoByLocateHandleBuffer();
  EXPECT_EQ(R().wCount, 0);
  EXPECT_EQ(ChipQueries(), 0u);
  const std::vector<std::string> log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "DevicePath not support\n"), 2);
}

TEST_F(EnumerationTest, UnreadableInterfaceDescriptorCountsAsOrdinaryInterface) {
  Attach(WithDfu());
  P.Usb().FailDescriptorGetter(Port(), sim::DescriptorGetter::Interface, EFI_DEVICE_ERROR);
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 1);
  EXPECT_EQ(R().wMode[0], UPDATE_MODE_RUNTIME);
  EXPECT_EQ(R().pUsbIo[0], Io(0));
}

// The DFU interface's configuration descriptor reads for the probe, then no more.
EFI_USB_IO_GET_CONFIG_DESCRIPTOR gRealGetConfig;
int gConfigReads;
EFI_STATUS EFIAPI ConfigReadOnce(EFI_USB_IO_PROTOCOL *This, EFI_USB_CONFIG_DESCRIPTOR *Out) {
  return gConfigReads++ == 0 ? gRealGetConfig(This, Out) : EFI_DEVICE_ERROR;
}

TEST_F(EnumerationTest, UnreadableConfigurationDescriptorCountsAsOrdinaryInterface) {
  Attach(WithDfu());
  gConfigReads = 0;
  gRealGetConfig = Io(2)->UsbGetConfigDescriptor;
  Io(2)->UsbGetConfigDescriptor = ConfigReadOnce;
  GetUsbIoByLocateHandleBuffer();
  ASSERT_EQ(R().wCount, 1);
  EXPECT_EQ(R().wMode[0], UPDATE_MODE_RUNTIME);
  EXPECT_EQ(R().pUsbIo[0], Io(0));
  EXPECT_EQ(gConfigReads, 2);
}

TEST_F(EnumerationTest, NoRecordNoScan) {
  Attach();
  FmpPrivateData *record = pKVFmpPrivateData;
  pKVFmpPrivateData = nullptr;
  GetUsbIoByLocateHandleBuffer();
  pKVFmpPrivateData = record;
  EXPECT_EQ(gLocateCalls, 0);
  EXPECT_THAT(Log(), ElementsAre(kEnter, "No private data record to fill\r\n", kLeave));
}

// ---------------------------------------------------------------- capacity

TEST_F(EnumerationTest, TwentyFirstCameraIsIgnoredButDfuTakeoverStillWorks) {
  LooseCameras loose(P);
  for (uint16_t i = 0; i < FMP_DEVICE_MAX; i++) {
    loose.Add(WithChip(static_cast<uint16_t>(0x1000 + i), 0x4C01));
  }
  camera::Config twentyFirst = WithDfu();
  twentyFirst.device.idProduct = 0x1014;
  loose.Add(twentyFirst);
  camera::Config dfuOfTheSixth = WithDfu();
  dfuOfTheSixth.device.idProduct = 0x1005;
  loose.Add(dfuOfTheSixth);

  GetUsbIoByLocateHandleBuffer();

  ASSERT_EQ(R().wCount, FMP_DEVICE_MAX);
  for (size_t i = 0; i < FMP_DEVICE_MAX; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(R().wVID[i], 0x3B5A);
    EXPECT_EQ(R().wPID[i], 0x1000 + i);
    EXPECT_EQ(R().wFwVersion[i], 0x0102);
    EXPECT_EQ(R().wMode[i], i == 5 ? UPDATE_MODE_DFU : UPDATE_MODE_RUNTIME);
    EXPECT_EQ(R().pUsbIo[i], i == 5 ? loose.Io(21, 2) : loose.Io(i, 0));
  }
  EXPECT_EQ(R().wInterfaceNumber[5], 2);
  const std::string full = "Device table is full (20 entries), VID_3B5A PID_1014 ignored\n";
  const std::vector<std::string> log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), full), 3);  // its three interfaces
  EXPECT_EQ(std::count(log.begin(), log.end(), "Try to get Chip VID/PID\n"), 19);
}

}  // namespace
