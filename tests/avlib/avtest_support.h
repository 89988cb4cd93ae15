// Test helpers for the antivirus library: the built libqxav.so loaded lazily by path, an
// engine folder in a temporary folder (the built engine linked in, ".vdb" databases made from
// ClamAV signature texts), and archives built in memory with libarchive.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "avlib/qxav.h"
#include "avlib/vdb_header.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::avtest {

inline const std::string kEicar =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// The exports, bound by name from the built library.
struct Qxav {
  decltype(&::InitEngine) InitEngine;
  decltype(&::GetEngineInfo) GetEngineInfo;
  decltype(&::ShutdownEngine) ShutdownEngine;
  decltype(&::ModifySettings) ModifySettings;
  decltype(&::FileScan) FileScan;
  decltype(&::GetLastVirusName) GetLastVirusName;
  decltype(&::GetCurObjectName) GetCurObjectName;
  decltype(&::SetDVSourceDir) SetDVSourceDir;

  static Qxav& Load() {
    static Qxav* bound = [] {
      void* handle = dlopen(QXAV_BUILD_DIR "/libqxav.so", RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) ADD_FAILURE() << dlerror();
      auto* q = new Qxav();
      auto bind = [handle](auto& f, const char* name) {
        f = reinterpret_cast<std::remove_reference_t<decltype(f)>>(dlsym(handle, name));
        if (f == nullptr) ADD_FAILURE() << "missing export " << name;
      };
      bind(q->InitEngine, "InitEngine");
      bind(q->GetEngineInfo, "GetEngineInfo");
      bind(q->ShutdownEngine, "ShutdownEngine");
      bind(q->ModifySettings, "ModifySettings");
      bind(q->FileScan, "FileScan");
      bind(q->GetLastVirusName, "GetLastVirusName");
      bind(q->GetCurObjectName, "GetCurObjectName");
      bind(q->SetDVSourceDir, "SetDVSourceDir");
      return q;
    }();
    return *bound;
  }
};

inline std::string Hex(const std::string& text) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string Bytes(const std::vector<uint8_t>& data) {
  return std::string(data.begin(), data.end());
}

// A ".vdb" file wrapping a ClamAV database text of the given type.
inline void WriteVdb(const std::string& path, const std::string& type, const std::string& text,
                     uint16_t priority = 1) {
  std::vector<uint8_t> file =
      avlib::BuildVdbHeader(type, "test", 1, priority, static_cast<uint32_t>(text.size()));
  file.insert(file.end(), text.begin(), text.end());
  test_support::WriteTextFile(path, Bytes(file));
}

// An engine folder with the built engine and the test's databases; the library points at it.
class EngineFolder {
 public:
  EngineFolder() {
    EXPECT_EQ(symlink(QXAV_BUILD_DIR "/libdvengine32.so", (path() + "libdvengine32.so").c_str()),
              0);
  }
  ~EngineFolder() { Qxav::Load().ShutdownEngine(); }
  std::string path() const { return dir_.path() + "/"; }
  std::string File(const std::string& name, const std::string& content) const {
    return test_support::WriteTextFile(path() + name, content);
  }
  // The EICAR body signature, a riskware, a hacking tool and an adware signature.
  void WriteTestDatabase() const {
    WriteVdb(path() + "test.vdb", "ndb",
             "Test.EICAR:0:*:" + Hex(kEicar) + "\n" +
                 "Test.Adware.One:0:*:" + Hex("ADWARE-MARK-0001") + "\n" +
                 "Test.Riskware.One:0:*:" + Hex("RISKWARE-MARK-0001") + "\n" +
                 "Test.HackTool.One:0:*:" + Hex("HACKTOOL-MARK-0001") + "\n" +
                 "Test.Adware.origin:0:*:" + Hex("ORIGIN-MARK-0001") + "\n");
  }
  int32_t Start() const {
    Qxav& q = Qxav::Load();
    q.SetDVSourceDir(dir_.path().c_str());
    return q.InitEngine();
  }

 private:
  test_support::TempDir dir_;
};

// An archive of (name, content) members built in memory; format e.g. archive_write_set_format_zip.
inline std::string MakeArchive(int (*format)(archive*),
                               const std::vector<std::pair<std::string, std::string>>& members,
                               int (*filter)(archive*) = nullptr) {
  archive* a = archive_write_new();
  format(a);
  if (filter != nullptr) filter(a);
  std::vector<char> buffer(8 << 20);
  size_t used = 0;
  EXPECT_EQ(archive_write_open_memory(a, buffer.data(), buffer.size(), &used), ARCHIVE_OK);
  for (const auto& [name, content] : members) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, name.c_str());
    archive_entry_set_size(entry, static_cast<la_int64_t>(content.size()));
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    EXPECT_EQ(archive_write_header(a, entry), ARCHIVE_OK);
    EXPECT_EQ(archive_write_data(a, content.data(), content.size()), la_ssize_t(content.size()));
    archive_entry_free(entry);
  }
  archive_write_close(a);
  archive_write_free(a);
  return std::string(buffer.data(), used);
}

inline std::string Zip(const std::vector<std::pair<std::string, std::string>>& members) {
  return MakeArchive(archive_write_set_format_zip, members);
}

}  // namespace qxfw::avtest
