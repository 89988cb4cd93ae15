#include "clam_engine.h"

#include <clamav.h>

#include <algorithm>

#include "host_io.h"

namespace qxfw::dvengine {
namespace {

bool InitLibrary() {
  static const bool ok = cl_init(CL_INIT_DEFAULT) == CL_SUCCESS;
  return ok;
}

cl_scan_options Options() {
  cl_scan_options options{};
  options.general = CL_SCAN_GENERAL_HEURISTICS;
  // Everything but archives and mail, which the container levels take apart.
  options.parse = ~0u & ~(CL_SCAN_PARSE_ARCHIVE | CL_SCAN_PARSE_MAIL);
  options.heuristic = 0;
  return options;
}

struct MappedFile {
  const HostFile* file;
  uint64_t size;
};

off_t ReadHost(void* handle, void* buffer, size_t count, off_t offset) {
  const auto* mapped = static_cast<const MappedFile*>(handle);
  uint64_t at = static_cast<uint64_t>(offset);
  if (offset < 0 || at > mapped->size) return -1;
  // fmap asks for whole pages; the last one is short.
  size_t length = static_cast<size_t>(std::min<uint64_t>(count, mapped->size - at));
  if (length == 0) return 0;
  return mapped->file->ReadAt(at, buffer, length) ? static_cast<off_t>(length) : -1;
}

ScanVerdict Verdict(cl_error_t result, const char* name, std::string* virusName) {
  if (result == CL_VIRUS) {
    *virusName = name != nullptr ? name : "Unknown";
    return ScanVerdict::kInfected;
  }
  if (result == CL_CLEAN) return ScanVerdict::kClean;
  return ScanVerdict::kError;
}

}  // namespace

ClamEngine::~ClamEngine() {
  if (engine_ != nullptr) cl_engine_free(engine_);
}

bool ClamEngine::Create() {
  if (engine_ != nullptr) return true;
  if (!InitLibrary()) return false;
  engine_ = cl_engine_new();
  return engine_ != nullptr;
}

int64_t ClamEngine::Load(const std::string& path) {
  if (compiled_ || !Create()) return -1;
  unsigned int records = 0;
  if (cl_load(path.c_str(), engine_, &records, CL_DB_STDOPT) != CL_SUCCESS) return -1;
  return records;
}

bool ClamEngine::Compile() {
  if (compiled_) return true;
  if (!Create()) return false;
  compiled_ = cl_engine_compile(engine_) == CL_SUCCESS;
  return compiled_;
}

ScanVerdict ClamEngine::ScanFile(const HostFile& file, int64_t size, std::string* virusName) {
  if (!compiled_ || size < 0) return ScanVerdict::kError;
  if (size == 0) return ScanVerdict::kClean;
  MappedFile mapped{&file, static_cast<uint64_t>(size)};
  return ScanMap(cl_fmap_open_handle(&mapped, 0, static_cast<size_t>(size), ReadHost, 1),
                 virusName);
}

ScanVerdict ClamEngine::ScanMemory(const void* data, size_t size, std::string* virusName) {
  if (!compiled_) return ScanVerdict::kError;
  if (size == 0) return ScanVerdict::kClean;
  return ScanMap(cl_fmap_open_memory(data, size), virusName);
}

ScanVerdict ClamEngine::ScanMap(cl_fmap_t* map, std::string* virusName) {
  if (map == nullptr) return ScanVerdict::kError;
  cl_scan_options options = Options();
  const char* name = nullptr;
  cl_error_t result = cl_scanmap_callback(map, nullptr, &name, nullptr, engine_, &options, nullptr);
  ScanVerdict verdict = Verdict(result, name, virusName);
  cl_fmap_close(map);
  return verdict;
}

}  // namespace qxfw::dvengine
