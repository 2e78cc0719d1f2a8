// The UVC probe: device path, video-control interface, extension unit, and what a hostile
// configuration answer can and cannot do to the walks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "camera/CameraFixture.h"
#include "discovery/Discovery.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace uvc = camera::uvc;

const std::string kFoundLine =
    "KvrFmpDriver: VID_3B5A PID_4C15 bcdDevice_0102 - Class 0xEF, SubClass 2, Protocol 1\n";
std::string UnitLine(int unit) {
  return "KvrFmpDriver: Found Korvane Camera, XU " + std::to_string(unit) + "\n";
}

// ---------------------------------------------------------------- building blocks

std::vector<uint8_t> VcInterface(uint8_t number, uint8_t alternate, uint8_t protocol,
                                 uint8_t endpoints = 0) {
  return usb::InterfaceDescriptor(number, alternate, endpoints, uvc::kClassVideo,
                                  uvc::kSubclassVideoControl, protocol);
}
std::vector<uint8_t> VsInterface(uint8_t number) {
  return usb::InterfaceDescriptor(number, 0, 0, uvc::kClassVideo, uvc::kSubclassVideoStreaming, 1);
}
std::vector<uint8_t> CameraUnit(uint8_t id) {
  return uvc::ExtensionUnit(id, camera::kCameraXuGuid, 2);
}
std::vector<uint8_t> Header(uint16_t bcdUVC = 0x0150) { return uvc::VcHeader(bcdUVC, 0, 1); }
std::vector<uint8_t> Config(const std::vector<std::vector<uint8_t>> &descriptors) {
  return usb::Configuration(usb::ConfigurationInfo{}, descriptors);
}

// Offset of the first camera extension unit in a configuration.
size_t CameraUnitOffset(const std::vector<uint8_t> &config) {
  const auto at = std::search(config.begin(), config.end(), camera::kCameraXuGuid.begin(),
                              camera::kCameraXuGuid.end());
  EXPECT_NE(at, config.end());
  return static_cast<size_t>(at - config.begin()) - 4;
}

void SetTotalLength(std::vector<uint8_t> &config, size_t total) {
  config[2] = static_cast<uint8_t>(total);
  config[3] = static_cast<uint8_t>(total >> 8);
}

class UvcProbeTest : public CameraTest {};

// ---------------------------------------------------------------- device path

std::vector<uint8_t> Node(uint8_t type, uint8_t subType, uint16_t length = 4) {
  std::vector<uint8_t> node(std::max<uint16_t>(length, 4), 0);
  node[0] = type;
  node[1] = subType;
  node[2] = static_cast<uint8_t>(length);
  node[3] = static_cast<uint8_t>(length >> 8);
  return node;
}
const std::vector<uint8_t> kPci = Node(HARDWARE_DEVICE_PATH, HW_PCI_DP, 6);
const std::vector<uint8_t> kUsb = Node(MESSAGING_DEVICE_PATH, MSG_USB_DP, 6);
const std::vector<uint8_t> kEndInstance = Node(END_DEVICE_PATH_TYPE, 0x01);
const std::vector<uint8_t> kEnd = Node(END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE);

std::vector<uint8_t> Path(const std::vector<std::vector<uint8_t>> &nodes) {
  std::vector<uint8_t> path;
  for (const auto &node : nodes) {
    path.insert(path.end(), node.begin(), node.end());
  }
  return path;
}

BOOLEAN Probe(EFI_USB_IO_PROTOCOL *io, std::vector<uint8_t> path) {
  return IsUsbCameraDevice(io, reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(path.data()));
}

TEST_F(UvcProbeTest, NoDevicePath) {
  Attach();
  EXPECT_FALSE(IsUsbCameraDevice(Io(), nullptr));
  EXPECT_THAT(Log(), ElementsAre("DevicePath == NULL\n"));
}

TEST_F(UvcProbeTest, PathOfTheBusHandleEndsInAUsbNode) {
  Attach();
  EXPECT_TRUE(IsUsbCameraDevice(Io(), PathOf(Handle())));
  EXPECT_THAT(Transfers(), IsEmpty());  // handle-validating firmware: no interface test
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(UvcProbeTest, UsbNodeMustBeTheLastBeforeTheEnd) {
  Attach();
  EXPECT_FALSE(Probe(Io(), Path({kPci, kUsb, Node(MESSAGING_DEVICE_PATH, 0x0B, 8), kEnd})));
  EXPECT_FALSE(Probe(Io(), Path({kPci, kUsb, kEndInstance, kPci, kEnd})));
  EXPECT_TRUE(Probe(Io(), Path({kPci, kEndInstance, kPci, kUsb, kEnd})));
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(UvcProbeTest, NodeShorterThanItsHeaderEndsTheWalk) {
  Attach();
  EXPECT_FALSE(Probe(Io(), Path({kPci, Node(MESSAGING_DEVICE_PATH, MSG_USB_DP, 0), kUsb, kEnd})));
  EXPECT_FALSE(Probe(Io(), Path({kPci, Node(HARDWARE_DEVICE_PATH, HW_PCI_DP, 3), kUsb, kEnd})));
  EXPECT_THAT(Log(), ElementsAre("DevicePath node of type 0x3 has length 0\n",
                                 "DevicePath node of type 0x1 has length 3\n"));
}

TEST_F(UvcProbeTest, PathWithoutEndWithinTheBoundIsRefused) {
  Attach();
  std::vector<std::vector<uint8_t>> nodes(KV_MAX_DEVICE_PATH_NODES, kPci);
  nodes.push_back(kUsb);
  nodes.push_back(kEnd);  // too far to be reached
  EXPECT_FALSE(Probe(Io(), Path(nodes)));
  EXPECT_THAT(Log(), ElementsAre("DevicePath has no end within 512 nodes\n"));
}

// ---------------------------------------------------------------- firmware that opens the
// interface

// OpenProtocol on firmware that does not validate its Handle argument: the interface
// pointer opens as itself.
struct OpenRecord {
  int opens = 0;
  int closes = 0;
  EFI_HANDLE handle = nullptr, agent = nullptr, controller = nullptr;
  UINT32 attributes = 0;
  bool usbIoGuid = false;
} gOpen;

EFI_STATUS EFIAPI LenientOpen(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface,
                              EFI_HANDLE Agent, EFI_HANDLE Controller, UINT32 Attributes) {
  const EFI_GUID usbIo = EFI_USB_IO_PROTOCOL_GUID;
  gOpen.opens++;
  gOpen.handle = Handle;
  gOpen.agent = Agent;
  gOpen.controller = Controller;
  gOpen.attributes = Attributes;
  gOpen.usbIoGuid = KvrCompareGuid(Protocol, &usbIo);
  *Interface = Handle;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI LenientClose(EFI_HANDLE, EFI_GUID *, EFI_HANDLE, EFI_HANDLE) {
  gOpen.closes++;
  return EFI_SUCCESS;
}

class OpenedInterfaceTest : public UvcProbeTest {
 protected:
  void SetUp() override {
    UvcProbeTest::SetUp();
    gOpen = {};
    P.BootServices()->OpenProtocol = LenientOpen;
    P.BootServices()->CloseProtocol = LenientClose;
    Attach();
  }
};

TEST_F(OpenedInterfaceTest, VideoControlInterfaceRunsTheUnitSearchOnTheOpenedInterface) {
  EXPECT_TRUE(IsUsbCameraDevice(Io(0), PathOf(Handle(0))));
  EXPECT_EQ(gOpen.opens, 1);
  EXPECT_EQ(gOpen.handle, (EFI_HANDLE)Io(0));
  EXPECT_EQ(gOpen.controller, (EFI_HANDLE)Io(0));
  EXPECT_EQ(gOpen.agent, P.ImageHandle());
  EXPECT_EQ(gOpen.attributes, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  EXPECT_TRUE(gOpen.usbIoGuid);
  EXPECT_EQ(gOpen.closes, 1);
  EXPECT_EQ(Transfers().size(), 1u);
  EXPECT_THAT(Log(),
              ElementsAre("KvrFmpDriver: Find USB Camera Device\n", kFoundLine, UnitLine(6)));
}

TEST_F(OpenedInterfaceTest, SupportedCameraSearchesTwiceOnTheVideoControlInterface) {
  EXPECT_TRUE(IsSupportedCamera(Io(0), PathOf(Handle(0))));
  EXPECT_EQ(Transfers().size(), 2u);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver: Find USB Camera Device\n", kFoundLine, UnitLine(6),
                                 kFoundLine, UnitLine(6)));
}

TEST_F(OpenedInterfaceTest, StreamingInterfaceIsTurnedAway) {
  EXPECT_FALSE(IsSupportedCamera(Io(1), PathOf(Handle(1))));
  EXPECT_EQ(gOpen.closes, 1);
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(OpenedInterfaceTest, UnreadableInterfaceDescriptorMatchesNothing) {
  P.Usb().FailDescriptorGetter(Port(), sim::DescriptorGetter::Interface, EFI_DEVICE_ERROR);
  EXPECT_FALSE(IsUsbCameraDevice(Io(0), PathOf(Handle(0))));
  EXPECT_EQ(gOpen.closes, 1);
}

TEST_F(OpenedInterfaceTest, UnreadableDeviceDescriptorIsNoCamera) {
  P.Usb().FailDescriptorGetter(Port(), sim::DescriptorGetter::Device, EFI_DEVICE_ERROR);
  EXPECT_FALSE(IsUsbCameraDevice(Io(0), PathOf(Handle(0))));
  EXPECT_EQ(gOpen.closes, 1);
  EXPECT_THAT(Transfers(), IsEmpty());
}

// ---------------------------------------------------------------- the camera unit

TEST_F(UvcProbeTest, EveryInterfaceOfTheCameraPassesOnHandleValidatingFirmware) {
  camera::Config config;
  config.dfuInterface = true;
  config.extensionUnits = {{3, camera::kSecondaryXuGuid}, {9, camera::kCameraXuGuid}};
  auto cam = Attach(config);
  const uint16_t total = static_cast<uint16_t>(cam->ConfigurationDescriptor().size());
  for (size_t i = 0; i < 3; i++) {
    EXPECT_TRUE(IsSupportedCamera(Io(i), PathOf(Handle(i)))) << "interface " << i;
  }
  EXPECT_EQ(XuUnitId, 9);
  EXPECT_THAT(Wire(), ElementsAre(GetConfiguration(total), GetConfiguration(total),
                                  GetConfiguration(total)));
  EXPECT_THAT(Log(), ElementsAre(kFoundLine, UnitLine(9), kFoundLine, UnitLine(9), kFoundLine,
                                 UnitLine(9)));
}

struct VersionCase {
  uint16_t bcdUVC;
  uint8_t protocol;
  bool camera;
};
class UvcVersionTest : public UvcProbeTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(UvcVersionTest, ProtocolOneBelongsToUvc15Only) {
  camera::Config config;
  config.bcdUVC = GetParam().bcdUVC;
  config.videoProtocol = GetParam().protocol;
  Attach(config);
  EXPECT_EQ(FindCameraExtensionUnit(Io()), GetParam().camera ? TRUE : FALSE);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, UvcVersionTest,
    ::testing::Values(VersionCase{0x0150, 1, true}, VersionCase{0x0150, 0, false},
                      VersionCase{0x0100, 1, false}, VersionCase{0x0110, 1, false},
                      VersionCase{0x0100, 0, true}, VersionCase{0x0110, 0, true},
                      VersionCase{0x0151, 0, true}));

TEST_F(UvcProbeTest, WithoutAnyVcHeaderProtocolZeroIsRequired) {
  camera::Config zero, one;
  zero.configuration = Config({VcInterface(0, 0, 0), CameraUnit(5), VsInterface(1)});
  one.configuration = Config({VcInterface(0, 0, 1), CameraUnit(5), VsInterface(1)});
  Attach(zero);
  Attach(one);
  EXPECT_TRUE(FindCameraExtensionUnit(Io(0, 0)));
  EXPECT_FALSE(FindCameraExtensionUnit(Io(0, 1)));
}

TEST_F(UvcProbeTest, AlternateSettingOtherThanZeroIsSkipped) {
  camera::Config later, only;
  later.configuration = Config({VcInterface(0, 1, 1), Header(), CameraUnit(5), VcInterface(0, 0, 1),
                                Header(), CameraUnit(7), VsInterface(1)});
  only.configuration = Config({VcInterface(0, 1, 1), Header(), CameraUnit(5), VcInterface(0, 0, 1),
                               Header(), VsInterface(1)});
  Attach(later);
  Attach(only);
  EXPECT_TRUE(FindCameraExtensionUnit(Io(0, 0)));
  EXPECT_EQ(XuUnitId, 7);
  EXPECT_FALSE(FindCameraExtensionUnit(Io(0, 1)));
}

TEST_F(UvcProbeTest, UnitBehindTheEndpointIsNotFound) {
  camera::Config config;
  config.configuration =
      Config({VcInterface(0, 0, 1, 1), Header(), uvc::CameraTerminal(1),
              usb::EndpointDescriptor(0x83, 0x03, 16, 8), CameraUnit(5), VsInterface(1)});
  Attach(config);
  EXPECT_FALSE(FindCameraExtensionUnit(Io()));
}

TEST_F(UvcProbeTest, UnitUnderASecondVideoControlInterfaceIsNotFound) {
  camera::Config config;
  config.configuration = Config({VcInterface(0, 0, 1), Header(), uvc::CameraTerminal(1),
                                 VcInterface(1, 0, 1), Header(), CameraUnit(5), VsInterface(2)});
  Attach(config);
  EXPECT_FALSE(FindCameraExtensionUnit(Io()));
}

TEST_F(UvcProbeTest, OtherExtensionUnitsAreNotTheCamera) {
  camera::Config config;
  config.extensionUnits = {{3, camera::kSecondaryXuGuid}};
  Attach(config);
  EXPECT_FALSE(FindCameraExtensionUnit(Io()));
  EXPECT_EQ(XuUnitId, KV_XU_UNIT_ID_DEFAULT);
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(UvcProbeTest, FirstCameraUnitWins) {
  camera::Config config;
  config.extensionUnits = {{5, camera::kCameraXuGuid}, {7, camera::kCameraXuGuid}};
  Attach(config);
  EXPECT_TRUE(FindCameraExtensionUnit(Io()));
  EXPECT_EQ(XuUnitId, 5);
}

TEST_F(UvcProbeTest, LongClassSpecificDescriptorIsSteppedOver) {
  std::vector<uint8_t> body(198, 0x11);
  body[0] = uvc::kVcExtensionUnit;
  body[1] = 3;
  std::copy(camera::kSecondaryXuGuid.begin(), camera::kSecondaryXuGuid.end(), body.begin() + 2);
  const std::vector<uint8_t> longUnit = usb::RawDescriptor(uvc::kCsInterface, body);
  ASSERT_EQ(longUnit[0], 200);
  camera::Config config;
  config.configuration =
      Config({VcInterface(0, 0, 1), Header(), longUnit, CameraUnit(8), VsInterface(1)});
  Attach(config);
  EXPECT_TRUE(FindCameraExtensionUnit(Io()));
  EXPECT_EQ(XuUnitId, 8);
}

TEST_F(UvcProbeTest, UnitIdOfTheCameraProbedLast) {
  camera::Config first, second;
  first.extensionUnits = {{5, camera::kCameraXuGuid}};
  second.extensionUnits = {{7, camera::kCameraXuGuid}};
  Attach(first);
  Attach(second);
  EXPECT_TRUE(FindCameraExtensionUnit(Io(0, 0)));
  EXPECT_TRUE(FindCameraExtensionUnit(Io(0, 1)));
  EXPECT_EQ(XuUnitId, 7);
}

// ---------------------------------------------------------------- descriptors that cannot be had

TEST_F(UvcProbeTest, UnreadableDeviceDescriptorEndsTheProbe) {
  Attach();
  P.Usb().FailDescriptorGetter(Port(), sim::DescriptorGetter::Device, EFI_DEVICE_ERROR);
  EXPECT_FALSE(FindCameraExtensionUnit(Io()));
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver: Get device descriptor failed:0x7.\n"));
}

TEST_F(UvcProbeTest, UnreadableConfigurationDescriptorEndsTheProbe) {
  Attach();
  P.Usb().FailDescriptorGetter(Port(), sim::DescriptorGetter::Configuration, EFI_NOT_FOUND);
  EXPECT_FALSE(FindCameraExtensionUnit(Io()));
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver: Get config descriptor failed:0xE.\n"));
}

TEST_F(UvcProbeTest, NoBufferNoRequest) {
  Attach();
  P.FailAllocation(1);
  EXPECT_FALSE(FindCameraExtensionUnit(Io()));
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(Log(),
              ElementsAre("KvrFmpDriver Warning: Trying to free NULL pointer pConfigDesc 0\n"));
}

TEST_F(UvcProbeTest, ConfigurationIndexIsItsValueMinusOneInTheLowByte) {
  for (uint8_t value : {2, 0}) {
    camera::Config config;
    std::vector<uint8_t> bytes = camera::BuildConfiguration(config);
    bytes[5] = value;  // bConfigurationValue
    config.configuration = bytes;
    Attach(config);
  }
  EXPECT_FALSE(FindCameraExtensionUnit(Io(0, 0)));  // the camera has no configuration index 1
  EXPECT_FALSE(FindCameraExtensionUnit(Io(0, 1)));
  ASSERT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(Transfers()[0].setup.Value, 0x0201);
  EXPECT_EQ(Transfers()[1].setup.Value, 0x02FF);
  // What the low byte is for: value 0 must not borrow from the descriptor type (0x0200 - 1
  // would be 0x01FF, a device descriptor). Both stay GET_DESCRIPTOR of a configuration, an
  // index of one byte, for the configuration's whole length, and the camera takes them as
  // such: it has no configuration at either index and refuses both.
  for (const sim::Transfer &t : Transfers()) {
    EXPECT_EQ(t.setup.RequestType, 0x80);
    EXPECT_EQ(t.setup.Request, USB_REQ_GET_DESCRIPTOR);
    EXPECT_EQ(t.setup.Value >> 8, USB_DESC_TYPE_CONFIG);
    EXPECT_EQ(t.setup.Index, 0);
    EXPECT_EQ(t.setup.Length, camera::BuildConfiguration(camera::Config{}).size());
    EXPECT_TRUE(t.reachedDevice);
    EXPECT_EQ(t.usbStatus, EFI_USB_ERR_STALL);
  }
}

TEST_F(UvcProbeTest, RefusedConfigurationRequestLeavesTheUnitIdAlone) {
  Attach();
  XuUnitId = 0x33;
  P.Usb().FailMatching({.bRequest = USB_REQ_GET_DESCRIPTOR}, EFI_DEVICE_ERROR, EFI_USB_ERR_STALL);
  EXPECT_FALSE(FindCameraExtensionUnit(Io()));
  EXPECT_EQ(Transfers().size(), 1u);
  EXPECT_EQ(XuUnitId, 0x33);
  EXPECT_THAT(Log(), IsEmpty());
}

// ---------------------------------------------------------------- hostile configuration answers

// The camera enumerates with its good configuration, then answers GET_DESCRIPTOR with
// other bytes.
class HostileAnswerTest : public UvcProbeTest {
 protected:
  void SetUp() override {
    UvcProbeTest::SetUp();
    cam = Attach();
    good = cam->ConfigurationDescriptor();
    unit = CameraUnitOffset(good);
  }
  BOOLEAN ProbeWith(std::vector<uint8_t> answer) {
    cam->Misbehave().configurationAnswer = std::move(answer);
    return FindCameraExtensionUnit(Io());
  }
  std::shared_ptr<camera::Camera> cam;
  std::vector<uint8_t> good;
  size_t unit = 0;
};

TEST_F(HostileAnswerTest, GoodAnswerFindsTheUnit) { EXPECT_TRUE(ProbeWith(good)); }

TEST_F(HostileAnswerTest, ZeroLengthEndsEachWalk) {
  std::vector<uint8_t> beforeHeader = good;
  beforeHeader[9] = 0;  // the interface association, ahead of everything
  EXPECT_FALSE(ProbeWith(beforeHeader));
  std::vector<uint8_t> beforeUnit = good;
  beforeUnit[unit - 13] = 0;  // the processing unit, between the header and the camera unit
  ASSERT_EQ(good[unit - 13], 13);
  EXPECT_FALSE(ProbeWith(beforeUnit));
  EXPECT_EQ(XuUnitId, KV_XU_UNIT_ID_DEFAULT);
}

TEST_F(HostileAnswerTest, LengthOfOneEndsTheWalk) {
  std::vector<uint8_t> answer = good;
  answer[unit - 13] = 1;
  EXPECT_FALSE(ProbeWith(answer));
}

TEST_F(HostileAnswerTest, ClassSpecificDescriptorWithoutSubtype) {
  std::vector<uint8_t> answer = Config(
      {VcInterface(0, 0, 1), Header(), usb::RawDescriptor(uvc::kCsInterface, {}), CameraUnit(5)});
  EXPECT_FALSE(ProbeWith(answer));
}

TEST_F(HostileAnswerTest, HeaderTooShortForBcdUvc) {
  std::vector<uint8_t> answer =
      Config({VcInterface(0, 0, 1), usb::RawDescriptor(uvc::kCsInterface, {uvc::kVcHeader, 0x50}),
              CameraUnit(5)});
  EXPECT_FALSE(ProbeWith(answer));
}

TEST_F(HostileAnswerTest, InterfaceDescriptorTooShort) {
  P.Usb().ShortAnswersFail(false);  // a host controller that reports short answers as success
  std::vector<uint8_t> shortInterface = VcInterface(0, 0, 1);
  shortInterface.pop_back();
  shortInterface[0] = 8;
  EXPECT_FALSE(ProbeWith(Config({shortInterface, Header(), CameraUnit(5)})));
  EXPECT_TRUE(ProbeWith(Config({VcInterface(0, 0, 1), Header(), CameraUnit(5)})));
}

TEST_F(HostileAnswerTest, ExtensionUnitCutBeforeTheEndOfItsGuid) {
  std::vector<uint8_t> cut = CameraUnit(5);
  cut.resize(19);
  cut[0] = 19;
  EXPECT_FALSE(ProbeWith(Config({VcInterface(0, 0, 1), Header(), cut, CameraUnit(6)})));
}

TEST_F(HostileAnswerTest, LastDescriptorRunningPastTheTotalLength) {
  std::vector<uint8_t> answer = Config({VcInterface(0, 0, 1), Header(), CameraUnit(5)});
  answer.resize(answer.size() - 3);  // the unit's GUID is whole, its tail is missing
  SetTotalLength(answer, answer.size());
  EXPECT_FALSE(ProbeWith(answer));
}

TEST_F(HostileAnswerTest, HeaderCutShortAtTheEnd) {
  // No VC header, so the first walk reads to the end, where one byte is left over.
  std::vector<uint8_t> answer = Config({VcInterface(0, 0, 0), CameraUnit(5)});
  answer.push_back(0x24);
  SetTotalLength(answer, answer.size());
  EXPECT_FALSE(ProbeWith(answer));
}

TEST_F(HostileAnswerTest, DeliveredConfigurationBoundsTheWalks) {
  std::vector<uint8_t> cutBefore = good;
  SetTotalLength(cutBefore, unit + 10);
  EXPECT_FALSE(ProbeWith(cutBefore));
  std::vector<uint8_t> cutAfter = good;
  SetTotalLength(cutAfter, unit + good[unit]);
  EXPECT_TRUE(ProbeWith(cutAfter));
}

TEST_F(HostileAnswerTest, ShortAnswerCountsOnlyWhatLiesBeforeTheCut) {
  P.Usb().ShortAnswersFail(false);  // a host controller that reports short answers as success
  cam->Misbehave().configurationAnswerLength = unit + 20;
  EXPECT_TRUE(FindCameraExtensionUnit(Io()));  // header, interface and unit all delivered
  cam->Misbehave().configurationAnswerLength = unit;
  EXPECT_FALSE(FindCameraExtensionUnit(Io()));
  EXPECT_EQ(Transfers().back().dataIn.size(), unit);
}

TEST_F(HostileAnswerTest, EmptyAnswer) {
  cam->Misbehave().configurationAnswerLength = 0;
  EXPECT_FALSE(FindCameraExtensionUnit(Io()));
}

}  // namespace
