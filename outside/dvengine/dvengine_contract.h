// The contract between the antivirus library (the host) and the scanning engine
// libdvengine32.so: the one exported entry point, the host I/O table the engine calls back
// through, the command numbers and the flag bits of their answers. Included by both sides.
//
// Every value that may carry a pointer is an intptr_t. Host functions take the scan context
// (always 0) as their first argument; HostFnN is the type of an entry with N further
// arguments. The engine calls them only from the thread that is inside an engine command.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

struct HostIoEntry {
  void* function;  // null for the empty entries
  int32_t argumentCount;
};

struct EngineHostInfo {
  int32_t platformCode;    // 4 on this platform
  int32_t interfaceLevel;  // 430
};

// EngineEntry(context 0, command, further arguments as intptr_t).
typedef intptr_t (*EngineEntry)(intptr_t context, intptr_t command, ...);
// DVENGINE_InitDll(table, its entry count, host info, engine state word of the last run).
typedef EngineEntry (*DvengineInitDll)(const HostIoEntry* table, int32_t count,
                                       const EngineHostInfo* info, intptr_t stateWord);
}

namespace qxfw::dvengine {

typedef intptr_t (*HostFn0)(intptr_t);
typedef intptr_t (*HostFn1)(intptr_t, intptr_t);
typedef intptr_t (*HostFn2)(intptr_t, intptr_t, intptr_t);
typedef intptr_t (*HostFn3)(intptr_t, intptr_t, intptr_t, intptr_t);
typedef intptr_t (*HostFn4)(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t);
typedef intptr_t (*HostFn5)(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t);
typedef intptr_t (*HostFn6)(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t);

inline constexpr char kEntryPointName[] = "DVENGINE_InitDll";
inline constexpr char kEngineFileName[] = "libdvengine32.so";
inline constexpr int32_t kHostIoCount = 57;
inline constexpr int32_t kInterfaceLevel = 430;
inline constexpr int32_t kPlatformCode = 4;

// Host table indexes the engine uses.
enum HostIndex : int {
  kHostAlloc = 1,
  kHostFree = 2,
  kHostCreate = 3,
  kHostOpen = 4,
  kHostClose = 5,
  kHostRead = 6,
  kHostWrite = 7,
  kHostSeekStart = 8,
  kHostSeekEnd = 9,
  kHostSeekAbsolute = 10,
  kHostSeekRelative = 11,
  kHostSeekFromEnd = 12,
  kHostFileSize = 13,
  kHostRename = 14,
  kHostTruncate = 15,
  kHostDelete = 16,
  kHostGetTime = 17,
  kHostSetTime = 18,
  kHostGetAttributes = 19,
  kHostSetAttributes = 20,
  kHostTempFile = 27,
  kHostQuery = 32,
};

// What values of host query 32.
enum HostQuery : intptr_t { kQueryScanMode = 0, kQueryScanArchives = 4 };

enum Command : intptr_t {
  kCmdLoadDatabase = 0,   // (path) -> records or -1
  kCmdFinishLoading = 1,  // () -> state word
  kCmdShutdown = 2,
  kCmdRelease = 3,
  kCmdScanFile = 4,         // (1, 0, path, 0) -> flags or -1
  kCmdVersion = 8,          // () -> major * 100 + minor
  kCmdContainerType = 11,   // (char[29]) -> type or -1
  kCmdOpenContainer = 12,   // (open 0/1) -> 0x8000 nothing to walk, -1, else go on
  kCmdNextMember = 13,      // (member buffer, 0) -> flags; name at +8
  kCmdScanMember = 14,      // (member buffer, 0) -> flags
  kCmdCloseContainer = 15,  // (member buffer)
  kCmdVirusName = 18,       // (char[256]) -> virus type; the name into the buffer
};

inline constexpr size_t kTypeTextSize = 29;
inline constexpr size_t kMemberBufferSize = 8202;
inline constexpr size_t kMemberNameOffset = 8;
inline constexpr size_t kVirusNameSize = 256;

inline constexpr intptr_t kFlagInfected = 0x1;
inline constexpr intptr_t kFlagStop = 0x20;
inline constexpr intptr_t kFlagContainer = 0x1000;
inline constexpr intptr_t kFlagEnd = 0x8000;
inline constexpr intptr_t kFlagDepthLimit = 0x10000;
inline constexpr intptr_t kFlagsStopMask = 0x70000;

}  // namespace qxfw::dvengine
