#include "shell/app_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "test_support/temp_dir.h"

namespace qxfw::shell {
namespace {

using test_support::ScopedEnv;
using test_support::TempDir;

void Write(const std::string& path, const std::string& text, mode_t mode = 0644) {
  std::ofstream(path) << text;
  chmod(path.c_str(), mode);
}

// A machine of our own: registry hives, XDG folders, systemd units, $PATH and the system
// folder all point into one temporary folder, so nothing of the real desktop leaks in.
class AppPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub :
         {"/reg", "/config", "/data", "/data/applications", "/units", "/bin", "/system"}) {
      mkdir((root_.path() + sub).c_str(), 0755);
    }
    Set("QXFW_REGISTRY_DIR", root_.path() + "/reg");
    Set("XDG_CONFIG_HOME", root_.path() + "/config");
    Set("XDG_CONFIG_DIRS", root_.path() + "/config");
    Set("XDG_DATA_HOME", root_.path() + "/data");
    Set("XDG_DATA_DIRS", root_.path() + "/data");
    Set("QXFW_XDG_SETTINGS", "");
    Set("QXFW_WWW_BROWSER", root_.path() + "/no-browser");
    Set("QXFW_SYSTEMD_DIR", root_.path() + "/units");
    Set("QXFW_SYSTEM_DIR", root_.path() + "/system");
    Set("PATH", root_.path() + "/bin");
  }

  void Set(const char* name, const std::string& value) {
    env_.push_back(std::make_unique<ScopedEnv>(name, value));
  }

  void InstallBrowser() {
    Write(root_.path() + "/bin/fakebrowser", "#!/bin/sh\n", 0755);
    Write(root_.path() + "/data/applications/fakebrowser.desktop",
          "[Desktop Entry]\nType=Application\nName=Fake\nExec=fakebrowser %u\n");
    Write(root_.path() + "/config/mimeapps.list",
          "[Default Applications]\nx-scheme-handler/http=fakebrowser.desktop\n");
  }

  void Unit(const std::string& name, const std::string& execStart) {
    Write(root_.path() + "/units/" + name,
          "[Unit]\nDescription=x\n\n[Service]\nExecStart=" + execStart + "\n");
  }

  TempDir root_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

TEST_F(AppPathsTest, FillsSlotsFromTheSystem) {
  InstallBrowser();
  Unit("accounts-daemon.service", "/usr/libexec/accounts-daemon");
  Unit("dbus.service", "@/usr/bin/dbus-daemon dbus-daemon --system --nofork");
  Unit("cups.service", "/usr/sbin/cupsd -l");

  CAppPaths paths;
  EXPECT_STREQ(paths.DefaultBrowser(), (root_.path() + "/bin/fakebrowser").c_str());
  EXPECT_STREQ(paths.SamssImage(), "/usr/libexec/accounts-daemon");
  EXPECT_STREQ(paths.RpcSsImage(), "/usr/bin/dbus-daemon");
  EXPECT_STREQ(paths.PrintSpooler(), "/usr/sbin/cupsd");
  EXPECT_STREQ(paths.ThisProgram(), QXFW_TEST_BINARY);
  EXPECT_STREQ(paths.SystemCompanion(), (root_.path() + "/system/qxfw-companion").c_str());
  EXPECT_STREQ(paths.SystemControlTool(), (root_.path() + "/system/qxfwctl").c_str());
  EXPECT_STREQ(paths.SpareCompanion(), "");
  for (int i = 0; i < CAppPaths::kSlotCount; ++i) {
    EXPECT_LE(std::string(paths.Path(i)).size(), kMaxProgramPath);
  }
  EXPECT_EQ(paths.Path(CAppPaths::kRpcSsImage), paths.RpcSsImage());
  EXPECT_STREQ(paths.Path(-1), "");
  EXPECT_STREQ(paths.Path(CAppPaths::kSlotCount), "");
}

TEST_F(AppPathsTest, UnreadableValuesLeaveSlotsEmpty) {
  // No browser, no service units, a masked spooler unit, a system folder too long for a slot.
  Write(root_.path() + "/units/cups.service", "");
  Set("QXFW_SYSTEM_DIR", root_.path() + "/" + std::string(300, 's'));

  CAppPaths paths;
  EXPECT_STREQ(paths.DefaultBrowser(), "");
  EXPECT_STREQ(paths.SamssImage(), "");
  EXPECT_STREQ(paths.RpcSsImage(), "");
  EXPECT_STREQ(paths.PrintSpooler(), "");
  EXPECT_STREQ(paths.SystemCompanion(), "");
  EXPECT_STREQ(paths.SystemControlTool(), "");
  EXPECT_STREQ(paths.ThisProgram(), QXFW_TEST_BINARY);
}

}  // namespace
}  // namespace qxfw::shell
