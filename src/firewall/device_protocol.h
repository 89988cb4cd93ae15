// The device protocol between the firewall program and the filter daemon: control codes,
// records, status values and the framing of one call on the device's Unix stream socket.
// docs/formats/device_protocol.md is the byte grammar. Included by the daemon
// (outside/qltdifw) and by the program's driver channel; header only, no dependencies beyond the
// standard library.
//
// All integers are little-endian unless a field says network order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace qxfw::firewall {

// --- Where the device lives ---
// The runtime folder is $QXFW_RUNTIME_DIR, else kDefaultRuntimeDir; the socket is
// <runtime folder>/kDeviceSocketName. One daemon runs per runtime folder: its driver events
// live there too, so daemons with folders of their own run side by side.
inline constexpr const char* kRuntimeDirVariable = "QXFW_RUNTIME_DIR";
inline constexpr const char* kDefaultRuntimeDir = "/run/qxfw";
inline constexpr const char* kDeviceSocketName = "qltdifw.sock";
inline std::string RuntimeFolder() {
  const char* dir = std::getenv(kRuntimeDirVariable);
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string(kDefaultRuntimeDir);
}

// Driver events: system scope, created by the root daemon in its runtime folder (the socket
// <runtime folder>/<name>, see platform/named_event.h).
inline constexpr const char* kNetworkNotifyEventName = "HKNetworkNotifyEvent_QXFW";
inline constexpr const char* kLoadImageNotifyEventName = "HKLoadImageNotifyEvent_QXFW";

// --- Control codes: device type 0x22, buffered, read and write access ---
constexpr uint32_t DeviceControlCode(uint32_t function) {
  return (0x22u << 16) | (3u << 14) | (function << 2);
}
inline constexpr uint32_t IOCTL_GET_NETWORK_REQUEST = 0x22E000;  // function 0x800
inline constexpr uint32_t IOCTL_SET_VERDICT = 0x22E004;          // 0x801
inline constexpr uint32_t IOCTL_GET_IMAGE_LOAD = 0x22E008;       // 0x802
inline constexpr uint32_t IOCTL_GET_PROCESS_NAME = 0x22E018;     // 0x806
inline constexpr uint32_t IOCTL_RELEASE = 0x22E01C;              // 0x807
// Codes of this daemon.
inline constexpr uint32_t IOCTL_END_TCP_CONNECTION = 0x22E040;  // 0x810, input tagEND_CONNECTION
inline constexpr uint32_t IOCTL_GET_DRIVER_INFO = 0x22E044;     // 0x811, output tagDRIVER_INFO
// GET_NETWORK_REQUEST answered ahead: when no request waits, the answer comes as soon as one
// does (then the event is set too), or with ERROR_NO_DATA as soon as another call follows.
inline constexpr uint32_t IOCTL_WAIT_NETWORK_REQUEST = 0x22E048;  // 0x812
static_assert(DeviceControlCode(0x800) == IOCTL_GET_NETWORK_REQUEST);
static_assert(DeviceControlCode(0x801) == IOCTL_SET_VERDICT);
static_assert(DeviceControlCode(0x802) == IOCTL_GET_IMAGE_LOAD);
static_assert(DeviceControlCode(0x806) == IOCTL_GET_PROCESS_NAME);
static_assert(DeviceControlCode(0x807) == IOCTL_RELEASE);
static_assert(DeviceControlCode(0x810) == IOCTL_END_TCP_CONNECTION);
static_assert(DeviceControlCode(0x811) == IOCTL_GET_DRIVER_INFO);
static_assert(DeviceControlCode(0x812) == IOCTL_WAIT_NETWORK_REQUEST);

// --- Status values (system error numbers) ---
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t ERROR_INVALID_FUNCTION = 1;       // unknown control code
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;          // opener is neither root nor the user
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;     // another client holds the device
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 50;         // the kernel cannot do it
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;     // wrong input size or content
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;  // output size too small
inline constexpr uint32_t ERROR_NO_DATA = 232;              // the queue is empty
inline constexpr uint32_t ERROR_NOT_FOUND = 1168;           // no such request or connection

// --- Records ---
inline constexpr uint8_t kProtocolTcp = 1;
inline constexpr uint8_t kProtocolUdp = 2;
inline constexpr uint8_t kRequestUdpSend = 1;
inline constexpr uint8_t kRequestTcpConnect = 2;

#pragma pack(push, 1)
struct CNETWORK_REQUEST {
  uint32_t requestHandle;
  uint32_t reserved1;
  uint8_t protocol;
  uint8_t requestType;
  uint32_t remoteAddress;  // network order
  uint16_t remotePort;     // network order
  uint32_t localAddress;   // network order
  uint16_t localPort;      // network order
  uint32_t processId;
  uint32_t threadId;
  uint8_t reserved2[3];
};
#pragma pack(pop)
static_assert(sizeof(CNETWORK_REQUEST) == 33);
static_assert(offsetof(CNETWORK_REQUEST, protocol) == 8);
static_assert(offsetof(CNETWORK_REQUEST, requestType) == 9);
static_assert(offsetof(CNETWORK_REQUEST, remoteAddress) == 10);
static_assert(offsetof(CNETWORK_REQUEST, remotePort) == 14);
static_assert(offsetof(CNETWORK_REQUEST, localAddress) == 16);
static_assert(offsetof(CNETWORK_REQUEST, localPort) == 20);
static_assert(offsetof(CNETWORK_REQUEST, processId) == 22);
static_assert(offsetof(CNETWORK_REQUEST, threadId) == 26);
static_assert(offsetof(CNETWORK_REQUEST, reserved2) == 30);

// The aligned form some drivers answer with; see AlignedToRequest.
struct CNETWORK_REQUEST_ALIGNED {
  uint32_t requestHandle;
  uint32_t reserved;
  uint8_t protocol;
  uint8_t requestType;
  uint16_t padding1;
  uint32_t remoteAddress;
  uint16_t remotePort;
  uint16_t padding2;
  uint32_t localAddress;
  uint16_t localPort;
  uint16_t padding3;
  uint32_t processId;
  uint32_t unused;
};
static_assert(sizeof(CNETWORK_REQUEST_ALIGNED) == 36);
static_assert(offsetof(CNETWORK_REQUEST_ALIGNED, protocol) == 8);
static_assert(offsetof(CNETWORK_REQUEST_ALIGNED, requestType) == 9);
static_assert(offsetof(CNETWORK_REQUEST_ALIGNED, remoteAddress) == 12);
static_assert(offsetof(CNETWORK_REQUEST_ALIGNED, remotePort) == 16);
static_assert(offsetof(CNETWORK_REQUEST_ALIGNED, localAddress) == 20);
static_assert(offsetof(CNETWORK_REQUEST_ALIGNED, localPort) == 24);
static_assert(offsetof(CNETWORK_REQUEST_ALIGNED, processId) == 28);

inline constexpr uint32_t kVerdictBlock = 0;
inline constexpr uint32_t kVerdictAllow = 1;
struct tagVERDICT {
  uint32_t requestHandle;
  uint32_t verdict;  // kVerdictBlock or kVerdictAllow
};
static_assert(sizeof(tagVERDICT) == 8);
static_assert(offsetof(tagVERDICT, verdict) == 4);

// Image-load records: a program was started. The path is NUL-terminated.
inline constexpr size_t kImagePathUnits = 265;
#pragma pack(push, 1)
struct tagIMAGE_LOAD_W {
  uint32_t processId;
  char16_t path[kImagePathUnits];  // UTF-16
};
#pragma pack(pop)
static_assert(sizeof(tagIMAGE_LOAD_W) == 534);
static_assert(offsetof(tagIMAGE_LOAD_W, path) == 4);

inline constexpr size_t kImagePathBytes = 264;
struct tagIMAGE_LOAD_A {
  uint32_t processId;
  char path[kImagePathBytes];  // UTF-8
};
static_assert(sizeof(tagIMAGE_LOAD_A) == 268);
static_assert(offsetof(tagIMAGE_LOAD_A, path) == 4);

inline constexpr size_t kProcessNameBytes = 260;  // output of IOCTL_GET_PROCESS_NAME

// Input of IOCTL_END_TCP_CONNECTION: the IPv4 TCP connection to abort, network order.
struct tagEND_CONNECTION {
  uint32_t localAddress;
  uint32_t remoteAddress;
  uint16_t localPort;
  uint16_t remotePort;
};
static_assert(sizeof(tagEND_CONNECTION) == 12);
static_assert(offsetof(tagEND_CONNECTION, remoteAddress) == 4);
static_assert(offsetof(tagEND_CONNECTION, localPort) == 8);
static_assert(offsetof(tagEND_CONNECTION, remotePort) == 10);

inline constexpr uint32_t kDeviceProtocolVersion = 1;
// Output of IOCTL_GET_DRIVER_INFO.
struct tagDRIVER_INFO {
  uint32_t protocolVersion;  // kDeviceProtocolVersion
  uint32_t requestSize;      // 33, or 36 when the daemon answers with the aligned form
  uint32_t imageLoadSize;    // 534, or 268
  uint32_t holdTimeoutSeconds;
  uint32_t heldRequests;  // requests queued or handed out and not yet answered
};
static_assert(sizeof(tagDRIVER_INFO) == 20);
static_assert(offsetof(tagDRIVER_INFO, heldRequests) == 16);

// --- Framing on the socket ---
// After connecting, the client first reads one tagDEVICE_REPLY_HEADER with outputLength 0: its
// status is 0 when the device is now the client's, ERROR_SHARING_VIOLATION or
// ERROR_ACCESS_DENIED otherwise (the daemon then closes the connection). Then each call is a
// tagDEVICE_CALL_HEADER followed by inputLength bytes; the daemon answers each call, in order,
// with a tagDEVICE_REPLY_HEADER followed by outputLength bytes (outputLength <= outputSize).
struct tagDEVICE_CALL_HEADER {
  uint32_t controlCode;
  uint32_t inputLength;
  uint32_t outputSize;
};
static_assert(sizeof(tagDEVICE_CALL_HEADER) == 12);
static_assert(offsetof(tagDEVICE_CALL_HEADER, inputLength) == 4);
static_assert(offsetof(tagDEVICE_CALL_HEADER, outputSize) == 8);

struct tagDEVICE_REPLY_HEADER {
  uint32_t status;
  uint32_t outputLength;
};
static_assert(sizeof(tagDEVICE_REPLY_HEADER) == 8);
static_assert(offsetof(tagDEVICE_REPLY_HEADER, outputLength) == 4);

// Largest input and output of one call; a header beyond these is malformed and ends the
// connection, since the stream cannot be trusted after it.
inline constexpr uint32_t kMaxCallInput = 4096;
inline constexpr uint32_t kMaxCallOutput = 4096;

// The fields both request forms carry, copied from one form to the other; reserved fields
// and padding stay zero.
template <typename To, typename From>
To CopyRequestFields(const From& in) {
  To out{};
  out.requestHandle = in.requestHandle;
  out.protocol = in.protocol;
  out.requestType = in.requestType;
  out.remoteAddress = in.remoteAddress;
  out.remotePort = in.remotePort;
  out.localAddress = in.localAddress;
  out.localPort = in.localPort;
  out.processId = in.processId;
  return out;
}

inline CNETWORK_REQUEST AlignedToRequest(const CNETWORK_REQUEST_ALIGNED& in) {
  return CopyRequestFields<CNETWORK_REQUEST>(in);
}

inline CNETWORK_REQUEST_ALIGNED RequestToAligned(const CNETWORK_REQUEST& in) {
  return CopyRequestFields<CNETWORK_REQUEST_ALIGNED>(in);
}

}  // namespace qxfw::firewall
