#include "monitor/version_info.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "platform/fake_dpkg.h"
#include "platform/package_db.h"
#include "test_support/temp_dir.h"

namespace qxfw::monitor {
namespace {

using test_support::FakeDpkg;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteFile;

// What dpkg-query itself says about a package field; empty when it cannot be asked.
std::string DpkgQuery(const std::string& format, const std::string& package) {
  std::string command = "dpkg-query -W -f='" + format + "' " + package + " 2>/dev/null";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string out;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

void ExpectAllEmpty(const CFileVersionInfo& info) {
  for (size_t k = 0; k < CFileVersionInfo::kKeyCount; ++k) {
    EXPECT_EQ(info.Get(static_cast<CFileVersionInfo::Key>(k)), "")
        << CFileVersionInfo::kKeyNames[k];
  }
  EXPECT_FALSE(info.HasVersionInfo());
}

TEST(FileVersionInfo, PackagedProgramShowsItsPackage) {
  std::string version = DpkgQuery("${Version}", "coreutils");
  if (version.empty()) GTEST_SKIP() << "coreutils is not a dpkg package on this machine";
  platform::PackageDb db("/var/lib/dpkg");
  for (const char* path : {"/usr/bin/ls", "/bin/ls"}) {
    CFileVersionInfo info(path, &db);
    EXPECT_EQ(info.Get(CFileVersionInfo::kProductName), "coreutils") << path;
    EXPECT_EQ(info.Get(CFileVersionInfo::kFileVersion), version);
    EXPECT_EQ(info.Get("ProductVersion"), version);
    EXPECT_EQ(info.Get("CompanyName"), DpkgQuery("${Maintainer}", "coreutils"));
    EXPECT_EQ(info.Get(CFileVersionInfo::kFileDescription),
              DpkgQuery("${binary:Summary}", "coreutils"));
    EXPECT_EQ(info.Get(CFileVersionInfo::kComments), "");
    EXPECT_EQ(info.Get(CFileVersionInfo::kLegalCopyright), "");
  }
}

TEST(FileVersionInfo, UnknownFileAndBadPathsGiveNothing) {
  TempDir home;
  ScopedEnv dataHome("XDG_DATA_HOME", home.path());
  ScopedEnv dataDirs("XDG_DATA_DIRS", home.path() + "/none");
  std::string file = home.path() + "/tool";
  WriteFile(file, "#!/bin/sh\n");
  platform::PackageDb db("/var/lib/dpkg");
  ExpectAllEmpty(CFileVersionInfo(file, &db));
  ExpectAllEmpty(CFileVersionInfo("", &db));
  ExpectAllEmpty(CFileVersionInfo("ls", &db));
  ExpectAllEmpty(CFileVersionInfo(home.path() + "/missing", &db));
  EXPECT_EQ(CFileVersionInfo(file, &db).Get("NoSuchKey"), "");
}

TEST(FileVersionInfo, LongDescriptionIsCutOnACharacterBoundary) {
  TempDir files;
  std::string program = files.path() + "/prog";
  WriteFile(program, "x");
  std::string longText;
  for (int i = 0; i < 200; ++i) longText += "\xC3\xA9";  // "é", two bytes each
  FakeDpkg dpkg;
  dpkg.AddPackage("qxtool", {{program, ""}}, "install ok installed", "7.0", longText);
  platform::PackageDb db(dpkg.path());
  CFileVersionInfo info(program, &db);
  const std::string& description = info.Get(CFileVersionInfo::kFileDescription);
  EXPECT_EQ(description.size(), 254u);
  EXPECT_EQ(description, longText.substr(0, 254));
  EXPECT_EQ(info.Get(CFileVersionInfo::kProductVersion), "7.0");
  EXPECT_EQ(info.Get(CFileVersionInfo::kCompanyName), "Test Keeper <keeper@example.org>");
}

class DesktopEntryVersionInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(home_.path() + "/applications/sub");
    std::filesystem::create_directories(system_.path() + "/applications");
    std::filesystem::create_directories(bin_.path());
    program_ = bin_.path() + "/my tool";
    WriteFile(program_, "#!/bin/sh\n");
    std::filesystem::permissions(program_, std::filesystem::perms::owner_all);
  }

  void Entry(const std::string& dir, const std::string& file, const std::string& body) {
    WriteFile(dir + "/applications/" + file, body);
  }

  TempDir home_;
  TempDir system_;
  TempDir bin_;
  std::string program_;
  TempDir emptyAdmin_;  // no status file: no package database
  platform::PackageDb noPackages_{emptyAdmin_.path()};
};

TEST_F(DesktopEntryVersionInfo, EntryThatRunsTheProgramNamesIt) {
  ScopedEnv dataHome("XDG_DATA_HOME", home_.path());
  ScopedEnv dataDirs("XDG_DATA_DIRS", system_.path());
  Entry(system_.path(), "other.desktop",
        "[Desktop Entry]\nName=Other\nExec=/bin/true\nComment=Not this one\n");
  Entry(home_.path(), "sub/hidden.desktop",
        "[Desktop Entry]\nName=Hidden\nExec=\"" + program_ + "\"\nHidden=true\n");
  Entry(home_.path(), "sub/tool.desktop",
        "[Desktop Action x]\nName=Action\n[Desktop Entry]\nName=My Tool\nName[ko]=Tool ko\n"
        "Comment=Does things\nExec=env LANG=C \"" +
            program_ + "\" %U\n");
  CFileVersionInfo info(program_, &noPackages_);
  EXPECT_EQ(info.Get(CFileVersionInfo::kFileDescription), "My Tool");
  EXPECT_EQ(info.Get(CFileVersionInfo::kProductName), "My Tool");
  EXPECT_EQ(info.Get(CFileVersionInfo::kComments), "Does things");
  EXPECT_EQ(info.Get(CFileVersionInfo::kFileVersion), "");
  EXPECT_EQ(info.Get(CFileVersionInfo::kCompanyName), "");
}

TEST_F(DesktopEntryVersionInfo, BareCommandIsFoundThroughPathAndTryExecCounts) {
  std::string other = bin_.path() + "/helper";
  WriteFile(other, "#!/bin/sh\n");
  std::filesystem::permissions(other, std::filesystem::perms::owner_all);
  ScopedEnv dataHome("XDG_DATA_HOME", home_.path());
  ScopedEnv dataDirs("XDG_DATA_DIRS", system_.path());
  ScopedEnv path("PATH", bin_.path() + ":/usr/bin");
  Entry(system_.path(), "helper.desktop",
        "[Desktop Entry]\nName=Helper\nTryExec=helper\nExec=sh -c helper\n");
  CFileVersionInfo info(other, &noPackages_);
  EXPECT_EQ(info.Get(CFileVersionInfo::kProductName), "Helper");
  // The entry does not run the other program.
  ExpectAllEmpty(CFileVersionInfo(program_, &noPackages_));
}

TEST_F(DesktopEntryVersionInfo, IconComesFromTheEntryThatRunsTheProgram) {
  ScopedEnv dataHome("XDG_DATA_HOME", home_.path());
  ScopedEnv dataDirs("XDG_DATA_DIRS", system_.path());
  Entry(system_.path(), "other.desktop",
        "[Desktop Entry]\nName=Other\nExec=/bin/true\nIcon=other\n");
  EXPECT_EQ(DesktopIconOf(program_), "");
  Entry(home_.path(), "tool.desktop",
        "[Desktop Entry]\nName=My Tool\nExec=\"" + program_ + "\"\nIcon=/opt/tool/tool.png\n");
  EXPECT_EQ(DesktopIconOf(program_), "/opt/tool/tool.png");
  EXPECT_EQ(DesktopIconOf(""), "");
}

}  // namespace
}  // namespace qxfw::monitor
