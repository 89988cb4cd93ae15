// Test helper: a dpkg admin folder of the test's own (status, info/*.list, info/*.md5sums),
// so package ownership and checksums can be tested without touching the system database.
#pragma once

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support/temp_dir.h"

namespace qxfw::test_support {

class FakeDpkg {
 public:
  struct File {
    std::string path;  // absolute
    std::string md5;   // empty: listed without a checksum (a directory or link)
  };

  FakeDpkg() {
    std::filesystem::create_directories(dir_.path() + "/info");
    Append("status", "");
  }

  const std::string& path() const { return dir_.path(); }

  // Adds a package: its status stanza, file list and checksums. name may carry ":arch" (the
  // info files are then named with it, the stanza gets Package and Architecture apart).
  void AddPackage(const std::string& name, const std::vector<File>& files,
                  const std::string& status = "install ok installed",
                  const std::string& version = "1.2-3",
                  const std::string& description = "test package\n more text") {
    std::string package = name.substr(0, name.find(':'));
    std::string arch =
        name.find(':') == std::string::npos ? "all" : name.substr(name.find(':') + 1);
    Append("status", "Package: " + package + "\nStatus: " + status +
                         "\nMaintainer: Test Keeper <keeper@example.org>\nArchitecture: " + arch +
                         "\nVersion: " + version + "\nDescription: " + description + "\n\n");
    std::string list;
    std::string sums;
    for (const File& f : files) {
      list += f.path + "\n";
      if (!f.md5.empty()) sums += f.md5 + "  " + f.path.substr(1) + "\n";
    }
    Append("info/" + name + ".list", list);
    Append("info/" + name + ".md5sums", sums);
  }

  void Append(const std::string& relative, const std::string& text) {
    std::ofstream out(dir_.path() + "/" + relative, std::ios::app | std::ios::binary);
    out << text;
  }

 private:
  TempDir dir_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::trunc | std::ios::binary);
  out << content;
}

}  // namespace qxfw::test_support
