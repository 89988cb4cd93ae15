// Detection: one libclamav engine, loaded from the ClamAV databases inside the ".vdb" files
// and compiled once when loading ends. Scans whole files through a read callback and members
// from memory. Archive and mail parsing of libclamav are off: containers are walked by the
// engine's own container levels so the library sees every member.
//
// Not thread-safe by itself; the engine is driven by one thread at a time (the library's
// scan lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct cl_engine;
struct cl_fmap;

namespace qxfw::dvengine {

class HostFile;

enum class ScanVerdict { kClean, kInfected, kError };

class ClamEngine {
 public:
  ClamEngine() = default;
  ~ClamEngine();
  ClamEngine(const ClamEngine&) = delete;
  ClamEngine& operator=(const ClamEngine&) = delete;

  // Loads one ClamAV database file or folder (the type decides how libclamav reads it);
  // returns the records loaded, -1 on failure. Only before Compile.
  int64_t Load(const std::string& path);
  // Compiles the loaded signatures; false on failure. Scans need it.
  bool Compile();
  bool ready() const { return compiled_; }

  ScanVerdict ScanFile(const HostFile& file, int64_t size, std::string* virusName);
  ScanVerdict ScanMemory(const void* data, size_t size, std::string* virusName);

 private:
  bool Create();
  // Scans and closes map (null: the map could not be made).
  ScanVerdict ScanMap(cl_fmap* map, std::string* virusName);
  cl_engine* engine_ = nullptr;
  bool compiled_ = false;
};

}  // namespace qxfw::dvengine
