// The payload files the installer carries and writes out, found by resource id.
//
//   101  "Firewall.ini"   the Korean interface texts           firewall folder
//   103  "libqxav.so"     the antivirus library                antivirus folder
//   105  "QLFW.dat"       the initial rule data file           firewall folder, only when missing
//   113  "qltdifw"        the filter daemon                    system folder
//   120  "libdvengine32.so"  the scanning engine              antivirus folder
//   121  "qxfw.vdb"       the product's own signature database antivirus folder
//   900  the systemd unit text of the daemon, "@QXFW_SYSTEM_DIR@" standing for the system folder
// A resource the build did not have is missing, and writing it writes nothing. The embedded
// set is linked into the program; tests make their own.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qxfw::setup {

enum SetupResourceId : int {
  kResFirewallIni = 101,
  kResAntivirusLibrary = 103,
  kResInitialRules = 105,
  kResDaemon = 113,
  kResScanEngine = 120,
  kResOwnDatabase = 121,
  kResDaemonUnit = 900,
};

class CSetupResources {
 public:
  virtual ~CSetupResources() = default;
  // The bytes of resource id, or nothing when the program does not carry it. The bytes stay
  // valid as long as this object lives.
  virtual std::optional<std::string_view> Find(int id) const = 0;
};

// The resources linked into this program.
const CSetupResources& EmbeddedResources();

// Resources held in memory: for tests.
class CMemoryResources : public CSetupResources {
 public:
  void Set(int id, std::string bytes) { bytes_[id] = std::move(bytes); }
  std::optional<std::string_view> Find(int id) const override {
    auto it = bytes_.find(id);
    if (it == bytes_.end()) return std::nullopt;
    return std::string_view(it->second);
  }

 private:
  std::map<int, std::string> bytes_;
};

}  // namespace qxfw::setup
