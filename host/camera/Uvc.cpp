// UVC 1.5 and DFU 1.1 descriptor builders.
#include "camera/Uvc.h"

#include "camera/UsbDevice.h"

namespace camera {

const Guid kCameraXuGuid = {0x25, 0x6D, 0xA7, 0x9D, 0x0F, 0xC7, 0xFE, 0x43,
                            0x8F, 0xB7, 0xF2, 0x08, 0x77, 0x0B, 0x92, 0xE7};
const Guid kSecondaryXuGuid = {0x66, 0x19, 0xEB, 0x9A, 0xA9, 0xAE, 0x8A, 0x4A,
                               0xA0, 0x23, 0xE2, 0x5D, 0x60, 0xCA, 0x77, 0xE9};

namespace {

uint8_t Low(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
uint8_t High(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

void PutU32(std::vector<uint8_t> &bytes, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<uint8_t>(v >> shift));
  }
}

}  // namespace

namespace uvc {

std::vector<uint8_t> InterfaceAssociation(uint8_t bFirstInterface, uint8_t bInterfaceCount) {
  return usb::RawDescriptor(kInterfaceAssociationType,
                            {bFirstInterface, bInterfaceCount, kClassVideo,
                             kSubclassInterfaceCollection, kProtocolUndefined, 0});
}

std::vector<uint8_t> VcHeader(uint16_t bcdUVC, uint16_t unitsLength, uint8_t streamingInterface) {
  constexpr uint16_t kHeaderLength = 13;
  const uint16_t total = static_cast<uint16_t>(kHeaderLength + unitsLength);
  std::vector<uint8_t> body{kVcHeader, Low(bcdUVC), High(bcdUVC), Low(total), High(total)};
  PutU32(body, 48000000);  // dwClockFrequency
  body.push_back(1);       // bInCollection
  body.push_back(streamingInterface);
  return usb::RawDescriptor(kCsInterface, body);
}

std::vector<uint8_t> CameraTerminal(uint8_t bTerminalID) {
  return usb::RawDescriptor(kCsInterface, {kVcInputTerminal, bTerminalID, 0x01, 0x02,  // ITT_CAMERA
                                           0, 0,                   // assoc, iTerminal
                                           0, 0, 0, 0, 0, 0,       // focal lengths
                                           3, 0x0A, 0x00, 0x00});  // bmControls
}

std::vector<uint8_t> ProcessingUnit(uint8_t bUnitID, uint8_t bSourceID) {
  return usb::RawDescriptor(kCsInterface,
                            {kVcProcessingUnit, bUnitID, bSourceID, 0, 0,  // wMaxMultiplier
                             3, 0x5B, 0x17, 0x00,                          // bmControls
                             0, 0});  // iProcessing, bmVideoStandards
}

std::vector<uint8_t> ExtensionUnit(uint8_t bUnitID, const Guid &guid, uint8_t bSourceID,
                                   uint8_t bNumControls) {
  std::vector<uint8_t> body{kVcExtensionUnit, bUnitID};
  body.insert(body.end(), guid.begin(), guid.end());
  body.insert(body.end(), {bNumControls, 1, bSourceID, 2, 0xFF, 0xFF, 0});
  return usb::RawDescriptor(kCsInterface, body);
}

std::vector<uint8_t> StreamingOutputTerminal(uint8_t bTerminalID, uint8_t bSourceID) {
  return usb::RawDescriptor(kCsInterface,
                            {kVcOutputTerminal, bTerminalID, 0x01, 0x01, 0, bSourceID, 0});
}

std::vector<uint8_t> InterruptEndpointCs(uint16_t wMaxTransferSize) {
  return usb::RawDescriptor(kCsEndpoint, {0x03, Low(wMaxTransferSize), High(wMaxTransferSize)});
}

std::vector<std::vector<uint8_t>> MjpegStreaming(uint8_t bEndpointAddress, uint8_t bTerminalLink) {
  std::vector<uint8_t> frame{kVsFrameMjpeg, 1, 0, Low(640), High(640), Low(480), High(480)};
  PutU32(frame, 640 * 480 * 16 * 5);   // dwMinBitRate
  PutU32(frame, 640 * 480 * 16 * 30);  // dwMaxBitRate
  PutU32(frame, 640 * 480 * 2);        // dwMaxVideoFrameBufferSize
  PutU32(frame, 333333);               // dwDefaultFrameInterval
  frame.push_back(1);                  // bFrameIntervalType
  PutU32(frame, 333333);
  const std::vector<uint8_t> format =
      usb::RawDescriptor(kCsInterface, {kVsFormatMjpeg, 1, 1, 0x01, 1, 0, 0, 0, 0});
  const std::vector<uint8_t> frameDescriptor = usb::RawDescriptor(kCsInterface, frame);
  constexpr uint16_t kInputHeaderLength = 14;
  const uint16_t total =
      static_cast<uint16_t>(kInputHeaderLength + format.size() + frameDescriptor.size());
  const std::vector<uint8_t> header =
      usb::RawDescriptor(kCsInterface, {kVsInputHeader, 1, Low(total), High(total),
                                        bEndpointAddress, 0, bTerminalLink, 0, 0, 0, 1, 0});
  return {header, format, frameDescriptor};
}

}  // namespace uvc

namespace dfu {

std::vector<uint8_t> Functional(uint8_t bmAttributes, uint16_t wDetachTimeOut,
                                uint16_t wTransferSize, uint16_t bcdDFUVersion) {
  return usb::RawDescriptor(
      kFunctionalType, {bmAttributes, Low(wDetachTimeOut), High(wDetachTimeOut), Low(wTransferSize),
                        High(wTransferSize), Low(bcdDFUVersion), High(bcdDFUVersion)});
}

}  // namespace dfu
}  // namespace camera
