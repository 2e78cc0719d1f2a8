// The handle database: EDK II's answers to handles that are not handles, open/close
// bookkeeping, handle buffers from the pool, and traps in every unimplemented slot.
#include <cstring>
#include <memory>
#include <set>

#include "platform/Platform.h"
#include "support/SimTest.h"

namespace {

class HandleDatabaseTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    port = P.Usb().Attach(std::make_shared<PlainDevice>());
    handle = P.Usb().Handles(port).at(0);
    io = P.Usb().UsbIo(port, 0);
  }

  uint8_t port = 0;
  EFI_HANDLE handle = nullptr;
  EFI_USB_IO_PROTOCOL *io = nullptr;
  void *const kSentinel = reinterpret_cast<void *>(0x5A5A);
};

TEST_F(HandleDatabaseTest, OpenProtocolOnAnInterfacePointerIsInvalidParameter) {
  void *interface = kSentinel;
  EXPECT_EQ(BootServices->OpenProtocol(reinterpret_cast<EFI_HANDLE>(io), &gEfiUsbIoProtocolGuid,
                                       &interface, ImageHandle, NULL,
                                       EFI_OPEN_PROTOCOL_GET_PROTOCOL),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(interface, nullptr);
}

TEST_F(HandleDatabaseTest, GetProtocolOpenThenCloseThenSecondCloseIsNotFound) {
  void *interface = nullptr;
  ASSERT_EQ(BootServices->OpenProtocol(handle, &gEfiUsbIoProtocolGuid, &interface, ImageHandle,
                                       NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL),
            EFI_SUCCESS);
  EXPECT_EQ(interface, io);
  EXPECT_EQ(P.OpenEntries(handle, gEfiUsbIoProtocolGuid), 1u);
  EXPECT_EQ(BootServices->CloseProtocol(handle, &gEfiUsbIoProtocolGuid, ImageHandle, NULL),
            EFI_SUCCESS);
  EXPECT_EQ(P.OpenEntries(handle, gEfiUsbIoProtocolGuid), 0u);
  EXPECT_EQ(BootServices->CloseProtocol(handle, &gEfiUsbIoProtocolGuid, ImageHandle, NULL),
            EFI_NOT_FOUND);
}

TEST_F(HandleDatabaseTest, OpenProtocolRefusals) {
  void *interface = kSentinel;
  EXPECT_EQ(BootServices->OpenProtocol(handle, &gEfiUsbIoProtocolGuid, &interface, ImageHandle,
                                       NULL, 0x40),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(interface, nullptr);
  EXPECT_EQ(BootServices->OpenProtocol(handle, &gEfiUsbIoProtocolGuid, &interface, ImageHandle,
                                       kSentinel, EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(BootServices->OpenProtocol(handle, &gTarvelProgressProtocolGuid, &interface,
                                       ImageHandle, NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL),
            EFI_UNSUPPORTED);
  EXPECT_EQ(BootServices->OpenProtocol(handle, NULL, &interface, ImageHandle, NULL,
                                       EFI_OPEN_PROTOCOL_GET_PROTOCOL),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(P.OpenEntries(handle, gEfiUsbIoProtocolGuid), 0u);
}

TEST_F(HandleDatabaseTest, OpenByDriverBelongsToOneAgent) {
  EFI_HANDLE other = P.CreateHandle();
  void *interface = nullptr;
  ASSERT_EQ(BootServices->OpenProtocol(handle, &gEfiUsbIoProtocolGuid, &interface, ImageHandle,
                                       handle, EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_SUCCESS);
  interface = nullptr;
  EXPECT_EQ(BootServices->OpenProtocol(handle, &gEfiUsbIoProtocolGuid, &interface, ImageHandle,
                                       handle, EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_ALREADY_STARTED);
  EXPECT_EQ(interface, io);
  EXPECT_EQ(BootServices->OpenProtocol(handle, &gEfiUsbIoProtocolGuid, &interface, other, handle,
                                       EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_ACCESS_DENIED);
  EXPECT_EQ(BootServices->CloseProtocol(handle, &gEfiUsbIoProtocolGuid, ImageHandle, handle),
            EFI_SUCCESS);
}

TEST_F(HandleDatabaseTest, HandleProtocolOnAHandleWithoutItIsUnsupported) {
  void *interface = kSentinel;
  EXPECT_EQ(BootServices->HandleProtocol(ImageHandle, &gEfiUsbIoProtocolGuid, &interface),
            EFI_UNSUPPORTED);
  EXPECT_EQ(interface, nullptr);
  EXPECT_EQ(BootServices->HandleProtocol(reinterpret_cast<EFI_HANDLE>(io),
                                         &gEfiUsbIoProtocolGuid, &interface),
            EFI_INVALID_PARAMETER);
}

TEST_F(HandleDatabaseTest, DestroyedHandleStaysInvalidAndItsAddressNeverReturns) {
  EFI_HANDLE h = P.CreateHandle();
  P.InstallProtocol(h, gTarvelProgressProtocolGuid, kSentinel);
  P.DestroyHandle(h);
  for (int i = 0; i < 16; i++) {
    EXPECT_NE(P.CreateHandle(), h);
  }
  void *interface = nullptr;
  EXPECT_EQ(BootServices->HandleProtocol(h, &gTarvelProgressProtocolGuid, &interface),
            EFI_INVALID_PARAMETER);
}

TEST_F(HandleDatabaseTest, LocateHandleBufferListsUsbHandlesInAttachOrderFromThePool) {
  const uint8_t second = P.Usb().Attach(std::make_shared<PlainDevice>(0x1111, 0x2222));
  std::vector<EFI_HANDLE> expected = P.Usb().Handles(port);
  for (EFI_HANDLE h : P.Usb().Handles(second)) {
    expected.push_back(h);
  }
  ASSERT_EQ(expected.size(), 4u);

  UINTN count = 0;
  EFI_HANDLE *buffer = NULL;
  ASSERT_EQ(BootServices->LocateHandleBuffer(ByProtocol, &gEfiUsbIoProtocolGuid, NULL, &count,
                                             &buffer),
            EFI_SUCCESS);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(std::vector<EFI_HANDLE>(buffer, buffer + count), expected);
  EXPECT_TRUE(P.IsLiveAllocation(buffer));
  EXPECT_EQ(BootServices->FreePool(buffer), EFI_SUCCESS);
}

TEST_F(HandleDatabaseTest, LocateHandleBufferAllHandlesStartsWithTheImage) {
  UINTN count = 0;
  EFI_HANDLE *buffer = NULL;
  ASSERT_EQ(BootServices->LocateHandleBuffer(AllHandles, NULL, NULL, &count, &buffer),
            EFI_SUCCESS);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(buffer[0], ImageHandle);
  FreePool(buffer);
}

TEST_F(HandleDatabaseTest, LocateHandleBufferFailures) {
  UINTN count = 7;
  EFI_HANDLE *buffer = reinterpret_cast<EFI_HANDLE *>(kSentinel);
  EXPECT_EQ(BootServices->LocateHandleBuffer(ByProtocol, &gTarvelProgressProtocolGuid, NULL,
                                             &count, &buffer),
            EFI_NOT_FOUND);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(BootServices->LocateHandleBuffer(ByProtocol, NULL, NULL, &count, &buffer),
            EFI_INVALID_PARAMETER);
  P.FailAllocation(1);
  EXPECT_EQ(BootServices->LocateHandleBuffer(ByProtocol, &gEfiUsbIoProtocolGuid, NULL, &count,
                                             &buffer),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(buffer, nullptr);
}

TEST_F(HandleDatabaseTest, LocateProtocolFindsTheFirstHandleCarryingIt) {
  void *interface = kSentinel;
  EXPECT_EQ(BootServices->LocateProtocol(&gEfiUsbIoProtocolGuid, NULL, &interface), EFI_SUCCESS);
  EXPECT_EQ(interface, io);
  EXPECT_EQ(BootServices->LocateProtocol(&gTarvelProgressProtocolGuid, NULL, &interface),
            EFI_NOT_FOUND);
  EXPECT_EQ(interface, nullptr);
}

TEST_F(HandleDatabaseTest, InstallProtocolInterfaceCreatesAHandleAndRefusesDuplicates) {
  TARVEL_PROGRESS_PROTOCOL progress{};
  EFI_HANDLE created = NULL;
  ASSERT_EQ(BootServices->InstallProtocolInterface(&created, &gTarvelProgressProtocolGuid, 0,
                                                   &progress),
            EFI_SUCCESS);
  EXPECT_TRUE(P.IsHandle(created));
  EXPECT_EQ(BootServices->InstallProtocolInterface(&created, &gTarvelProgressProtocolGuid, 0,
                                                   &progress),
            EFI_INVALID_PARAMETER);
  void *interface = nullptr;
  EXPECT_EQ(BootServices->LocateProtocol(&gTarvelProgressProtocolGuid, NULL, &interface),
            EFI_SUCCESS);
  EXPECT_EQ(interface, &progress);
}

// ---------------------------------------------------------------- traps

template <typename Table>
std::vector<void *> Slots(const Table &table, size_t skip) {
  std::vector<void *> slots((sizeof(Table) - skip) / sizeof(void *));
  std::memcpy(slots.data(), reinterpret_cast<const uint8_t *>(&table) + skip,
              slots.size() * sizeof(void *));
  return slots;
}

TEST_F(HandleDatabaseTest, EveryServiceSlotIsFilledWithItsOwnFunction) {
  for (const auto &slots : {Slots(*BootServices, sizeof(EFI_TABLE_HEADER)),
                            Slots(*RuntimeServices, sizeof(EFI_TABLE_HEADER)), Slots(*io, 0)}) {
    const std::set<void *> distinct(slots.begin(), slots.end());
    EXPECT_EQ(distinct.size(), slots.size());
    EXPECT_EQ(distinct.count(nullptr), 0u);
  }
}

TEST_F(HandleDatabaseTest, UnimplementedServiceIsAViolationNamingTheSlot) {
  using Untyped = EFI_STATUS(EFIAPI *)();
  EXPECT_EQ(reinterpret_cast<Untyped>(BootServices->CreateEvent)(), EFI_UNSUPPORTED);
  UINTN length = 4;
  uint8_t data[4];
  UINT32 status = 0;
  EXPECT_EQ(io->UsbBulkTransfer(io, 0x82, data, &length, 100, &status), EFI_UNSUPPORTED);
  EXPECT_EQ(P.Violations(), (std::vector<std::string>{"unimplemented boot service: CreateEvent",
                                                      "unimplemented USB I/O service: "
                                                      "UsbBulkTransfer"}));
  P.ClearViolations();
}

TEST_F(HandleDatabaseTest, SystemTableIsSealedAndCarriesTheVendor) {
  EXPECT_EQ(SystemTable->Hdr.Signature, EFI_SYSTEM_TABLE_SIGNATURE);
  EXPECT_EQ(BootServices->Hdr.HeaderSize, sizeof(EFI_BOOT_SERVICES));
  EXPECT_EQ(RuntimeServices->Hdr.Signature, EFI_RUNTIME_SERVICES_SIGNATURE);
  EXPECT_EQ(std::u16string(SystemTable->FirmwareVendor), u"EDK II");
  P.SetFirmwareVendor(u"INSYDE Corp.");
  EXPECT_EQ(std::u16string(SystemTable->FirmwareVendor), u"INSYDE Corp.");
}

}  // namespace
