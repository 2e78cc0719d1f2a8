// The simulated USB bus: transfers as EDK II delivers them, the record of the bytes on the
// wire, fault injection, re-enumeration, device paths and hostile descriptors.
#include <cstring>
#include <functional>
#include <memory>

#include "platform/Platform.h"
#include "support/SimTest.h"

namespace {

class UsbBusTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    device = std::make_shared<PlainDevice>();
    port = P.Usb().Attach(device);
    io = P.Usb().UsbIo(port, 0);
    ASSERT_NE(io, nullptr);
    device->seen.clear();
  }

  static EFI_STATUS Control(EFI_USB_IO_PROTOCOL *via, uint8_t type, uint8_t request,
                            uint16_t value, uint16_t length, EFI_USB_DATA_DIRECTION direction,
                            void *data, UINTN dataLength, UINT32 *status) {
    EFI_USB_DEVICE_REQUEST setup = {type, request, value, 0, length};
    return via->UsbControlTransfer(via, &setup, direction, 1000, data, dataLength, status);
  }
  // GET_STATUS of the device: two bytes in.
  static EFI_STATUS GetStatus(EFI_USB_IO_PROTOCOL *via) {
    uint8_t data[2];
    UINT32 status = 0;
    return Control(via, 0x80, USB_REQ_GET_STATUS, 0, 2, EfiUsbDataIn, data, 2, &status);
  }

  std::shared_ptr<PlainDevice> device;
  uint8_t port = 0;
  EFI_USB_IO_PROTOCOL *io = nullptr;
};

// ---------------------------------------------------------------- enumeration

TEST_F(UsbBusTest, AttachConfiguresTheDeviceUnrecordedAndMakesAHandlePerInterface) {
  auto other = std::make_shared<PlainDevice>();
  const uint8_t otherPort = P.Usb().Attach(other);
  EXPECT_EQ(otherPort, port + 1);
  ASSERT_EQ(other->seen.size(), 1u);
  EXPECT_EQ(other->seen[0].bRequest, usb::kSetConfiguration);
  EXPECT_EQ(other->seen[0].wValue, 1);
  EXPECT_EQ(other->ActiveConfiguration(), 1);
  EXPECT_TRUE(P.Usb().Transfers().empty());
  EXPECT_EQ(P.Usb().Handles(otherPort).size(), 2u);  // alternate setting 1 is no handle
  EXPECT_EQ(P.Usb().UsbIo(otherPort, 2), nullptr);
}

TEST_F(UsbBusTest, DevicePathEndsInAUsbNodeForPortAndInterface) {
  const uint8_t second = P.Usb().Attach(std::make_shared<PlainDevice>());
  void *interface = nullptr;
  ASSERT_EQ(BootServices->HandleProtocol(P.Usb().Handles(second).at(1),
                                         &gEfiDevicePathProtocolGuid, &interface),
            EFI_SUCCESS);
  const auto *path = static_cast<const uint8_t *>(interface);
  const std::vector<uint8_t> acpi(path, path + 4);
  EXPECT_EQ(acpi, (std::vector<uint8_t>{ACPI_DEVICE_PATH, ACPI_DP, 12, 0}));
  EXPECT_EQ(KvrReadU32(path + 4), 0x0A0341D0u);
  const uint8_t *pci = path + 12;
  EXPECT_EQ(std::vector<uint8_t>(pci, pci + 6),
            (std::vector<uint8_t>{HARDWARE_DEVICE_PATH, HW_PCI_DP, 6, 0, 0, 0x14}));
  const uint8_t *usbNode = pci + 6;
  EXPECT_EQ(std::vector<uint8_t>(usbNode, usbNode + 6),
            (std::vector<uint8_t>{MESSAGING_DEVICE_PATH, MSG_USB_DP, 6, 0, second, 1}));
  const uint8_t *end = usbNode + 6;
  EXPECT_EQ(std::vector<uint8_t>(end, end + 4),
            (std::vector<uint8_t>{END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0}));
}

TEST_F(UsbBusTest, HostileDescriptorsGiveNoHandlesAndNoCrash) {
  P.Usb().Detach(port);
  // Offsets in the default configuration: interface 0 at 9, its endpoint at 18,
  // interface 1 at 25, its alternate setting at 34, that one's endpoint at 43; 50 in all.
  const std::vector<std::pair<const char *, std::function<void(PlainDevice &)>>> corruptions = {
      {"zero-length descriptor", [](PlainDevice &d) { d.configuration[18] = 0; }},
      {"length-1 descriptor", [](PlainDevice &d) { d.configuration[18] = 1; }},
      {"wTotalLength past the buffer", [](PlainDevice &d) { d.configuration[2] = 51; }},
      {"wTotalLength below the header", [](PlainDevice &d) { d.configuration[2] = 4; }},
      {"last descriptor past wTotalLength", [](PlainDevice &d) { d.configuration[2] = 47; }},
      {"header cut short at wTotalLength", [](PlainDevice &d) { d.configuration[2] = 44; }},
      {"descriptor length past the end", [](PlainDevice &d) { d.configuration[18] = 200; }},
      {"interface descriptor too short", [](PlainDevice &d) { d.configuration[9] = 4; }},
      {"endpoint descriptor too short", [](PlainDevice &d) { d.configuration[18] = 5; }},
      {"bNumInterfaces wrong", [](PlainDevice &d) { d.configuration[4] = 3; }},
      {"bNumEndpoints wrong", [](PlainDevice &d) { d.configuration[13] = 2; }},
      {"device descriptor cut short", [](PlainDevice &d) { d.deviceDescriptor.resize(10); }},
      {"configuration cut to 4 bytes", [](PlainDevice &d) { d.configuration.resize(4); }},
  };
  for (const auto &[what, corrupt] : corruptions) {
    SCOPED_TRACE(what);
    auto hostile = std::make_shared<PlainDevice>();
    corrupt(*hostile);
    const size_t notes = P.Usb().Notes().size();
    const uint8_t at = P.Usb().Attach(hostile);
    EXPECT_TRUE(P.Usb().Handles(at).empty());
    EXPECT_EQ(P.Usb().Notes().size(), notes + 1);
    P.Usb().Detach(at);
  }
  UINTN count = 0;
  EFI_HANDLE *buffer = NULL;
  EXPECT_EQ(BootServices->LocateHandleBuffer(ByProtocol, &gEfiUsbIoProtocolGuid, NULL, &count,
                                             &buffer),
            EFI_NOT_FOUND);
}

// ---------------------------------------------------------------- transfers

TEST_F(UsbBusTest, GetDescriptorIsRecordedAsOnTheWireAndAShortAnswerLeavesTheRest) {
  P.Usb().ShortAnswersFail(false);  // a host controller that reports short answers as success
  uint8_t buffer[64];
  std::memset(buffer, 0xEE, sizeof buffer);
  UINT32 status = 0xFFFF;
  ASSERT_EQ(Control(io, 0x80, USB_REQ_GET_DESCRIPTOR, 0x0200, 64, EfiUsbDataIn, buffer, 64,
                    &status),
            EFI_SUCCESS);
  EXPECT_EQ(status, EFI_USB_NOERROR);
  const size_t size = device->configuration.size();
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size), device->configuration);
  EXPECT_EQ(buffer[size], 0xEE);

  ASSERT_EQ(P.Usb().Transfers().size(), 1u);
  const sim::Transfer &t = P.Usb().Transfers()[0];
  EXPECT_EQ(t.index, 0u);
  EXPECT_EQ(t.port, port);
  EXPECT_EQ(t.interfaceNumber, 0);
  EXPECT_EQ(t.setup.RequestType, 0x80);
  EXPECT_EQ(t.setup.Request, USB_REQ_GET_DESCRIPTOR);
  EXPECT_EQ(t.setup.Value, 0x0200);
  EXPECT_EQ(t.setup.Index, 0);
  EXPECT_EQ(t.setup.Length, 64);
  EXPECT_EQ(t.direction, EfiUsbDataIn);
  EXPECT_EQ(t.timeoutMs, 1000u);
  EXPECT_EQ(t.dataLength, 64u);
  EXPECT_EQ(t.dataIn, device->configuration);
  EXPECT_EQ(t.status, EFI_SUCCESS);
  EXPECT_EQ(t.usbStatus, EFI_USB_NOERROR);
  EXPECT_TRUE(t.reachedDevice);
}

TEST_F(UsbBusTest, NoMoreThanWLengthOrDataLengthIsDelivered) {
  P.Usb().ShortAnswersFail(false);  // a host controller that reports short answers as success
  device->onClassOrVendor = [](const usb::Setup &, const std::vector<uint8_t> &) {
    return usb::Ack({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  };
  uint8_t buffer[8];
  std::memset(buffer, 0xEE, sizeof buffer);
  UINT32 status = 0;
  ASSERT_EQ(Control(io, 0xC0, 0x01, 0, 4, EfiUsbDataIn, buffer, 8, &status), EFI_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8),
            (std::vector<uint8_t>{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));
  ASSERT_EQ(Control(io, 0xC0, 0x01, 0, 16, EfiUsbDataIn, buffer, 2, &status), EFI_SUCCESS);
  EXPECT_EQ(P.Usb().Transfers().back().dataIn, (std::vector<uint8_t>{1, 2}));
}

TEST_F(UsbBusTest, OutDataAndWLengthReachTheDeviceAsSent) {
  std::vector<uint8_t> received;
  uint16_t wLength = 0;
  device->onClassOrVendor = [&](const usb::Setup &setup, const std::vector<uint8_t> &out) {
    received = out;
    wLength = setup.wLength;
    return usb::Ack();
  };
  uint8_t data[3] = {0xA1, 0xB2, 0xC3};
  UINT32 status = 0;
  ASSERT_EQ(Control(io, 0x40, 0x02, 0, 4, EfiUsbDataOut, data, 3, &status), EFI_SUCCESS);
  EXPECT_EQ(received, (std::vector<uint8_t>{0xA1, 0xB2, 0xC3}));
  EXPECT_EQ(wLength, 4);
  EXPECT_EQ(P.Usb().Transfers().back().dataOut, received);
  EXPECT_EQ(P.Usb().Transfers().back().dataLength, 3u);
}

TEST_F(UsbBusTest, DeviceOutcomesMapToEdk2Statuses) {
  device->onClassOrVendor = [](const usb::Setup &setup, const std::vector<uint8_t> &) {
    return setup.bRequest == 0x01 ? usb::Stall() : usb::Reply{usb::Outcome::Timeout, {}};
  };
  UINT32 status = 0;
  EXPECT_EQ(Control(io, 0x40, 0x01, 0, 0, EfiUsbNoData, NULL, 0, &status), EFI_DEVICE_ERROR);
  EXPECT_EQ(status, EFI_USB_ERR_STALL);
  EXPECT_EQ(Control(io, 0x40, 0x02, 0, 0, EfiUsbNoData, NULL, 0, &status), EFI_TIMEOUT);
  EXPECT_EQ(status, EFI_USB_ERR_TIMEOUT);
  EXPECT_EQ(P.Usb().Transfers().back().usbStatus, EFI_USB_ERR_TIMEOUT);
}

TEST_F(UsbBusTest, RefusedTransfersNeverReachTheDevice) {
  uint8_t data[4] = {};
  UINT32 status = 0x1234;
  EXPECT_EQ(Control(io, 0x40, 0x02, 0, 0, EfiUsbDataOut, data, 0, &status),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Control(io, 0x40, 0x02, 0, 0, EfiUsbNoData, data, 0, &status),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Control(io, 0xC0, 0x01, 0, 4, EfiUsbDataIn, NULL, 4, &status),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Control(io, 0x40, 0x02, 0, 0, static_cast<EFI_USB_DATA_DIRECTION>(3), NULL, 0,
                    &status),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Control(io, 0x40, 0x02, 0, 0, EfiUsbNoData, NULL, 0, NULL), EFI_INVALID_PARAMETER);
  EXPECT_EQ(io->UsbControlTransfer(io, NULL, EfiUsbNoData, 1000, NULL, 0, &status),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(status, 0x1234u);
  EXPECT_TRUE(device->seen.empty());
  ASSERT_EQ(P.Usb().Transfers().size(), 6u);
  for (const sim::Transfer &t : P.Usb().Transfers()) {
    EXPECT_FALSE(t.reachedDevice);
    EXPECT_EQ(t.status, EFI_INVALID_PARAMETER);
  }
}

TEST_F(UsbBusTest, DataLengthBeyondAControlTransferIsAViolation) {
  std::vector<uint8_t> data(0x10000);
  UINT32 status = 0;
  EXPECT_EQ(Control(io, 0x40, 0x02, 0, 0xFFFF, EfiUsbDataOut, data.data(), data.size(), &status),
            EFI_INVALID_PARAMETER);
  EXPECT_TRUE(device->seen.empty());
  EXPECT_EQ(P.Violations().size(), 1u);
  P.ClearViolations();
}

TEST_F(UsbBusTest, CallThroughACopiedInstanceIsAViolation) {
  EFI_USB_IO_PROTOCOL copy = *io;
  EXPECT_EQ(GetStatus(&copy), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(device->seen.empty());
  EXPECT_EQ(P.Violations().size(), 1u);
  P.ClearViolations();
}

// ---------------------------------------------------------------- fault injection

TEST_F(UsbBusTest, FailTransferFailsOnlyThatIndex) {
  P.Usb().FailTransfer(1, EFI_DEVICE_ERROR, EFI_USB_ERR_CRC);
  EXPECT_EQ(GetStatus(io), EFI_SUCCESS);
  uint8_t data[2];
  UINT32 status = 0;
  EXPECT_EQ(Control(io, 0x80, USB_REQ_GET_STATUS, 0, 2, EfiUsbDataIn, data, 2, &status),
            EFI_DEVICE_ERROR);
  EXPECT_EQ(status, EFI_USB_ERR_CRC);
  EXPECT_EQ(GetStatus(io), EFI_SUCCESS);
  EXPECT_EQ(device->seen.size(), 2u);
  EXPECT_FALSE(P.Usb().Transfers()[1].reachedDevice);
  EXPECT_EQ(P.Usb().Transfers()[1].usbStatus, EFI_USB_ERR_CRC);
}

TEST_F(UsbBusTest, TransferIndexesSurviveClearTransfers) {
  EXPECT_EQ(GetStatus(io), EFI_SUCCESS);
  P.Usb().ClearTransfers();
  P.Usb().FailTransfer(1, EFI_TIMEOUT, EFI_USB_ERR_TIMEOUT);
  EXPECT_EQ(GetStatus(io), EFI_TIMEOUT);
  EXPECT_EQ(P.Usb().Transfers().at(0).index, 1u);
}

TEST_F(UsbBusTest, FailMatchingFailsTheMatchingRequestsTheGivenNumberOfTimes) {
  device->onClassOrVendor = [](const usb::Setup &, const std::vector<uint8_t> &) {
    return usb::Ack();
  };
  P.Usb().FailMatching({.bmRequestType = 0x40, .bRequest = 0x07}, EFI_TIMEOUT,
                       EFI_USB_ERR_TIMEOUT, 2);
  UINT32 status = 0;
  EXPECT_EQ(Control(io, 0x40, 0x07, 0, 0, EfiUsbNoData, NULL, 0, &status), EFI_TIMEOUT);
  EXPECT_EQ(Control(io, 0x40, 0x08, 0, 0, EfiUsbNoData, NULL, 0, &status), EFI_SUCCESS);
  EXPECT_EQ(Control(io, 0x40, 0x07, 5, 0, EfiUsbNoData, NULL, 0, &status), EFI_TIMEOUT);
  EXPECT_EQ(Control(io, 0x40, 0x07, 0, 0, EfiUsbNoData, NULL, 0, &status), EFI_SUCCESS);
  EXPECT_EQ(device->seen.size(), 2u);
}

// ---------------------------------------------------------------- descriptor getters

TEST_F(UsbBusTest, ConfigDescriptorGetterReturnsOnlyTheNineByteDescriptor) {
  struct {
    EFI_USB_CONFIG_DESCRIPTOR descriptor;
    uint8_t after[16];
  } out;
  std::memset(&out, 0xEE, sizeof out);
  ASSERT_EQ(io->UsbGetConfigDescriptor(io, &out.descriptor), EFI_SUCCESS);
  EXPECT_EQ(std::memcmp(&out.descriptor, device->configuration.data(), 9), 0);
  EXPECT_EQ(out.descriptor.TotalLength, device->configuration.size());
  for (uint8_t byte : out.after) {
    EXPECT_EQ(byte, 0xEE);
  }
}

TEST_F(UsbBusTest, InterfaceAndEndpointGettersDescribeTheirOwnInterface) {
  EFI_USB_INTERFACE_DESCRIPTOR interface;
  EFI_USB_IO_PROTOCOL *second = P.Usb().UsbIo(port, 1);
  ASSERT_EQ(second->UsbGetInterfaceDescriptor(second, &interface), EFI_SUCCESS);
  EXPECT_EQ(interface.InterfaceNumber, 1);
  EXPECT_EQ(interface.AlternateSetting, 0);

  EFI_USB_ENDPOINT_DESCRIPTOR endpoint;
  ASSERT_EQ(io->UsbGetEndpointDescriptor(io, 0, &endpoint), EFI_SUCCESS);
  EXPECT_EQ(endpoint.EndpointAddress, 0x81);
  EXPECT_EQ(io->UsbGetEndpointDescriptor(io, 1, &endpoint), EFI_NOT_FOUND);
  EXPECT_EQ(second->UsbGetEndpointDescriptor(second, 0, &endpoint), EFI_NOT_FOUND);
  EXPECT_EQ(io->UsbGetEndpointDescriptor(io, 0, NULL), EFI_INVALID_PARAMETER);
}

TEST_F(UsbBusTest, DescriptorGetterFailsUntilCleared) {
  EFI_USB_DEVICE_DESCRIPTOR descriptor;
  P.Usb().FailDescriptorGetter(port, sim::DescriptorGetter::Device, EFI_DEVICE_ERROR);
  EXPECT_EQ(io->UsbGetDeviceDescriptor(io, &descriptor), EFI_DEVICE_ERROR);
  EXPECT_EQ(io->UsbGetDeviceDescriptor(io, &descriptor), EFI_DEVICE_ERROR);
  P.Usb().FailDescriptorGetter(port, sim::DescriptorGetter::Device, EFI_SUCCESS);
  ASSERT_EQ(io->UsbGetDeviceDescriptor(io, &descriptor), EFI_SUCCESS);
  EXPECT_EQ(descriptor.IdVendor, 0x1234);
  EXPECT_EQ(descriptor.IdProduct, 0x5678);
}

// ---------------------------------------------------------------- re-enumeration

TEST_F(UsbBusTest, DeviceThatLeavesAndReturnsAsANewGenerationGetsNewHandles) {
  constexpr uint8_t kDetach = 0x03;
  constexpr uint64_t kAbsentUs = 500'000;
  PlainDevice *d = device.get();  // the lambdas live in the device: no owning capture
  uint64_t backAt = 0;
  d->onClassOrVendor = [d, &backAt, this](const usb::Setup &setup,
                                          const std::vector<uint8_t> &) {
    if (setup.bRequest != kDetach) {
      return usb::Stall();
    }
    d->connected = false;
    backAt = P.NowUs() + kAbsentUs;
    return usb::Ack();
  };
  d->onAdvance = [d, &backAt](uint64_t now) {
    if (!d->connected && now >= backAt) {
      d->connected = true;
      d->generation++;
      d->deviceDescriptor[10] = 0x99;  // idProduct, low byte
    }
  };
  const EFI_HANDLE oldHandle = P.Usb().Handles(port).at(0);

  UINT32 status = 0;
  ASSERT_EQ(Control(io, 0x21, kDetach, 0, 0, EfiUsbNoData, NULL, 0, &status), EFI_SUCCESS);
  EXPECT_TRUE(P.Usb().Handles(port).empty());
  // The handle is gone, and the handle database says so without reading through it; the
  // instance is freed (a call through `io` now would be a use after free).
  EXPECT_FALSE(P.IsHandle(oldHandle));
  void *interface = nullptr;
  const EFI_GUID usbIo = EFI_USB_IO_PROTOCOL_GUID;
  EXPECT_EQ(P.BootServices()->HandleProtocol(oldHandle, const_cast<EFI_GUID *>(&usbIo), &interface),
            EFI_INVALID_PARAMETER);

  ASSERT_EQ(BootServices->Stall(kAbsentUs - 1), EFI_SUCCESS);
  EXPECT_TRUE(P.Usb().Handles(port).empty());
  ASSERT_EQ(BootServices->Stall(1), EFI_SUCCESS);
  ASSERT_EQ(P.Usb().Handles(port).size(), 2u);

  EFI_USB_IO_PROTOCOL *fresh = P.Usb().UsbIo(port, 0);
  EXPECT_NE(fresh, io);
  EFI_USB_DEVICE_DESCRIPTOR descriptor;
  ASSERT_EQ(fresh->UsbGetDeviceDescriptor(fresh, &descriptor), EFI_SUCCESS);
  EXPECT_EQ(descriptor.IdProduct, 0x5699);
}

// As a firmware pool may: the memory of a freed instance comes back as the next one, so an
// old pointer leads to a live interface that is another device's.
TEST_F(UsbBusTest, FreedInstanceMayComeBackAsTheNextDevicesInterface) {
  P.Usb().ReuseFreedInterfaces(true);
  const EFI_HANDLE oldHandle = P.Usb().Handles(port).at(0);
  EFI_USB_IO_PROTOCOL *last = P.Usb().UsbIo(port, 1);  // freed last, handed out first
  P.Usb().Detach(port);
  auto other = std::make_shared<PlainDevice>();
  other->deviceDescriptor[10] = 0x77;
  const uint8_t otherPort = P.Usb().Attach(other);
  EXPECT_EQ(P.Usb().UsbIo(otherPort, 0), last);
  EXPECT_NE(P.Usb().Handles(otherPort).at(0), oldHandle);  // handles never come back
  EFI_USB_DEVICE_DESCRIPTOR descriptor;
  ASSERT_EQ(last->UsbGetDeviceDescriptor(last, &descriptor), EFI_SUCCESS);
  EXPECT_EQ(descriptor.IdProduct, 0x5677);
}

// Nothing leaves the bus while the caller holds TPL_CALLBACK: the removal waits for the
// TPL to come down, as EDK II's hub polling timer does.
TEST_F(UsbBusTest, DeviceLeavesOnlyOnceTheTplIsBelowCallback) {
  device->connected = false;
  const EFI_TPL old = P.BootServices()->RaiseTPL(TPL_CALLBACK);
  P.AdvanceTime(1);
  EXPECT_EQ(P.Usb().Handles(port).size(), 2u);
  P.BootServices()->RestoreTPL(old);
  EXPECT_TRUE(P.Usb().Handles(port).empty());
  EXPECT_EQ(P.Tpl(), TPL_APPLICATION);
}

TEST_F(UsbBusTest, GenerationChangeWithoutDisconnectReplacesTheHandles) {
  const std::vector<EFI_HANDLE> before = P.Usb().Handles(port);
  device->generation++;
  P.AdvanceTime(0);
  const std::vector<EFI_HANDLE> after = P.Usb().Handles(port);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_NE(after[0], before[0]);
  EXPECT_FALSE(P.IsHandle(before[0]));
}

TEST_F(UsbBusTest, PortResetConfiguresTheSameDeviceAgain) {
  const std::vector<EFI_HANDLE> before = P.Usb().Handles(port);
  ASSERT_EQ(io->UsbPortReset(io), EFI_SUCCESS);
  EXPECT_EQ(device->ActiveConfiguration(), 1);
  ASSERT_EQ(device->seen.size(), 1u);
  EXPECT_EQ(device->seen[0].bRequest, usb::kSetConfiguration);
  EXPECT_EQ(P.Usb().Handles(port), before);
}

TEST_F(UsbBusTest, PortResetOfADeviceThatLeavesIsADeviceError) {
  struct Leaving : PlainDevice {
    void PortReset() override { connected = false; }
  };
  P.Usb().Detach(port);
  const uint8_t at = P.Usb().Attach(std::make_shared<Leaving>());
  EFI_USB_IO_PROTOCOL *leaving = P.Usb().UsbIo(at, 0);
  EXPECT_EQ(leaving->UsbPortReset(leaving), EFI_DEVICE_ERROR);
  EXPECT_TRUE(P.Usb().Handles(at).empty());
}

}  // namespace
