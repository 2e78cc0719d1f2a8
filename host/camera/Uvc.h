// UVC 1.5 and DFU 1.1 descriptors of the camera, as byte vectors that the usb::Configuration
// builder strings together. Nothing here knows UEFI.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace camera {

// A GUID in the byte order a UVC descriptor carries it (Data1..Data3 little-endian, then
// the eight bytes of Data4).
using Guid = std::array<uint8_t, 16>;

// The camera's own extension unit, {9DA76D25-C70F-43FE-8FB7-F208770B92E7}.
extern const Guid kCameraXuGuid;
// A second extension unit some cameras carry, {9AEB1966-AEA9-4A8A-A023-E25D60CA77E9}.
extern const Guid kSecondaryXuGuid;

namespace uvc {

constexpr uint8_t kClassVideo = 0x0E;
constexpr uint8_t kSubclassVideoControl = 0x01;
constexpr uint8_t kSubclassVideoStreaming = 0x02;
constexpr uint8_t kSubclassInterfaceCollection = 0x03;
constexpr uint8_t kProtocolUndefined = 0x00;
constexpr uint8_t kProtocol15 = 0x01;

constexpr uint8_t kInterfaceAssociationType = 0x0B;
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kCsEndpoint = 0x25;

// Video-control descriptor subtypes.
constexpr uint8_t kVcHeader = 0x01;
constexpr uint8_t kVcInputTerminal = 0x02;
constexpr uint8_t kVcOutputTerminal = 0x03;
constexpr uint8_t kVcProcessingUnit = 0x05;
constexpr uint8_t kVcExtensionUnit = 0x06;
// Video-streaming descriptor subtypes.
constexpr uint8_t kVsInputHeader = 0x01;
constexpr uint8_t kVsFormatMjpeg = 0x06;
constexpr uint8_t kVsFrameMjpeg = 0x07;

// Class-specific requests.
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;

std::vector<uint8_t> InterfaceAssociation(uint8_t bFirstInterface, uint8_t bInterfaceCount);

// VC header with one streaming interface; wTotalLength covers the header and the units and
// terminals that follow it (unitsLength bytes).
std::vector<uint8_t> VcHeader(uint16_t bcdUVC, uint16_t unitsLength, uint8_t streamingInterface);
std::vector<uint8_t> CameraTerminal(uint8_t bTerminalID);
std::vector<uint8_t> ProcessingUnit(uint8_t bUnitID, uint8_t bSourceID);
// Extension unit with one input pin and two bytes of control bits.
std::vector<uint8_t> ExtensionUnit(uint8_t bUnitID, const Guid &guid, uint8_t bSourceID,
                                   uint8_t bNumControls = 16);
std::vector<uint8_t> StreamingOutputTerminal(uint8_t bTerminalID, uint8_t bSourceID);
std::vector<uint8_t> InterruptEndpointCs(uint16_t wMaxTransferSize);

// Video streaming: input header with one MJPEG format of one 640x480 frame.
std::vector<std::vector<uint8_t>> MjpegStreaming(uint8_t bEndpointAddress, uint8_t bTerminalLink);

}  // namespace uvc

namespace dfu {

constexpr uint8_t kClassApplicationSpecific = 0xFE;
constexpr uint8_t kSubclassDfu = 0x01;
constexpr uint8_t kProtocolRuntime = 0x01;
constexpr uint8_t kFunctionalType = 0x21;

// DFU 1.1 functional descriptor.
std::vector<uint8_t> Functional(uint8_t bmAttributes, uint16_t wDetachTimeOut,
                                uint16_t wTransferSize, uint16_t bcdDFUVersion = 0x0110);

}  // namespace dfu
}  // namespace camera
