#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/linux_facts.h"
#include "platform/registry_store.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::platform {
namespace {

using test_support::ReadTextFile;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteTextFile;

class RegistryStoreTest : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedEnv registry_{"QXFW_REGISTRY_DIR", dir_.path() + "/reg"};
  // Keep the real system's facts out of the tests unless a test supplies its own.
  ScopedEnv xdg_settings_{"QXFW_XDG_SETTINGS", ""};
  ScopedEnv www_{"QXFW_WWW_BROWSER", dir_.path() + "/none"};
  ScopedEnv data_home_{"XDG_DATA_HOME", dir_.path() + "/data"};
  ScopedEnv data_dirs_{"XDG_DATA_DIRS", dir_.path() + "/sysdata"};
  ScopedEnv config_home_{"XDG_CONFIG_HOME", dir_.path() + "/config"};
  ScopedEnv config_dirs_{"XDG_CONFIG_DIRS", dir_.path() + "/sysconfig"};
  ScopedEnv systemd_{"QXFW_SYSTEMD_DIR", dir_.path() + "/units"};
};

TEST_F(RegistryStoreTest, ValuesRoundTripAcrossKeysAndReopen) {
  {
    RegKey writer;
    ASSERT_EQ(writer.Create(RegRoot::kCurrentUser, "Software\\Qoltex\\Firewall", kKeyAllAccess),
              kErrorSuccess);
    EXPECT_EQ(writer.SetString("Path", "/opt/a b\tc\n%d"), kErrorSuccess);
    EXPECT_EQ(writer.SetDword("Level", 3), kErrorSuccess);
    const char raw[] = {'x', '\0', 'y'};  // bytes with a zero inside and no terminator
    EXPECT_EQ(writer.SetValue("Raw\tName%", 3, raw, sizeof(raw)), kErrorSuccess);
    EXPECT_EQ(writer.SetString("", "default", kRegExpandSz), kErrorSuccess);
    // Replacing a value keeps its place in the enumeration.
    EXPECT_EQ(writer.SetDword("LEVEL", 4), kErrorSuccess);
  }
  RegKey reader;
  ASSERT_EQ(reader.Open(RegRoot::kCurrentUser, "SOFTWARE\\qoltex\\FIREWALL", kKeyRead),
            kErrorSuccess);
  char buffer[64] = {};
  uint32_t type = 0;
  uint32_t size = sizeof(buffer);
  ASSERT_EQ(reader.QueryValue("path", &type, buffer, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 14u);
  EXPECT_STREQ(buffer, "/opt/a b\tc\n%d");
  uint32_t level = 0;
  size = sizeof(level);
  ASSERT_EQ(reader.QueryValue("Level", &type, &level, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(level, 4u);

  std::vector<std::string> names;
  std::string name;
  std::string data;
  for (uint32_t i = 0; reader.EnumValue(i, &name, &type, &data) == kErrorSuccess; ++i) {
    names.push_back(name);
    if (name == "Raw\tName%") {
      EXPECT_EQ(type, 3u);
      EXPECT_EQ(data, std::string("x\0y", 3));
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Path", "Level", "Raw\tName%", ""}));
  EXPECT_EQ(reader.EnumValue(4, &name, &type, &data), kErrorNoMoreItems);

  uint32_t subkeys = 9, values = 0, longest_name = 0, longest_data = 0;
  ASSERT_EQ(reader.QueryInfo(&subkeys, &values, &longest_name, &longest_data), kErrorSuccess);
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 4u);
  EXPECT_EQ(longest_name, 9u);
  EXPECT_EQ(longest_data, 14u);

  // Size questions and short buffers.
  size = 0;
  ASSERT_EQ(reader.QueryValue("Path", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(size, 14u);
  char small[4];
  size = sizeof(small);
  EXPECT_EQ(reader.QueryValue("Path", &type, small, &size), kErrorMoreData);
  EXPECT_EQ(size, 14u);

  RegKey parent;
  ASSERT_EQ(parent.Open(RegRoot::kCurrentUser, "Software\\Qoltex", kKeyRead), kErrorSuccess);
  ASSERT_EQ(parent.EnumKey(0, &name), kErrorSuccess);
  EXPECT_EQ(name, "Firewall");
  EXPECT_EQ(parent.EnumKey(1, &name), kErrorNoMoreItems);

  // The machine hive is a different file.
  RegKey machine;
  EXPECT_EQ(machine.Open(RegRoot::kLocalMachine, "Software\\Qoltex", kKeyRead), kErrorFileNotFound);
}

TEST_F(RegistryStoreTest, ErrorsFollowTheSystemNumbers) {
  RegKey key;
  uint32_t size = 4;
  char buffer[4];
  EXPECT_EQ(key.QueryValue("x", nullptr, buffer, &size), kErrorInvalidHandle);
  EXPECT_EQ(key.Open(RegRoot::kCurrentUser, "Missing\\Key", kKeyRead), kErrorFileNotFound);
  EXPECT_FALSE(key.IsOpen());

  ASSERT_EQ(key.Create(RegRoot::kCurrentUser, "A\\B\\C", kKeyQueryValue), kErrorSuccess);
  EXPECT_EQ(key.SetDword("v", 1), kErrorAccessDenied);
  EXPECT_EQ(key.EnumKey(0, nullptr), kErrorAccessDenied);
  EXPECT_EQ(key.QueryValue("v", nullptr, buffer, &size), kErrorFileNotFound);
  EXPECT_EQ(key.QueryValue("v", nullptr, buffer, nullptr), kErrorInvalidParameter);

  // A failed Open keeps the key held before.
  EXPECT_EQ(key.Open(RegRoot::kCurrentUser, "A\\Nope", kKeyRead), kErrorFileNotFound);
  EXPECT_TRUE(key.IsOpen());

  RegKey writer;
  ASSERT_EQ(writer.Open(RegRoot::kCurrentUser, "A\\B\\C", kKeyAllAccess), kErrorSuccess);
  EXPECT_EQ(writer.DeleteValue("nothing"), kErrorFileNotFound);
  ASSERT_EQ(writer.SetDword("v", 7), kErrorSuccess);
  ASSERT_EQ(writer.DeleteValue("V"), kErrorSuccess);
  EXPECT_EQ(writer.QueryValue("v", nullptr, nullptr, &size), kErrorFileNotFound);

  EXPECT_EQ(RegKey::DeleteKey(RegRoot::kCurrentUser, "A\\Missing"), kErrorFileNotFound);
  EXPECT_EQ(RegKey::DeleteKey(RegRoot::kCurrentUser, ""), kErrorAccessDenied);
  ASSERT_EQ(RegKey::DeleteKey(RegRoot::kCurrentUser, "a\\b"), kErrorSuccess);
  EXPECT_EQ(writer.SetDword("v", 1), kErrorKeyDeleted);
  EXPECT_EQ(writer.EnumValue(0, nullptr, nullptr, nullptr), kErrorKeyDeleted);
  RegKey again;
  EXPECT_EQ(again.Open(RegRoot::kCurrentUser, "A\\B\\C", kKeyRead), kErrorFileNotFound);
  EXPECT_EQ(again.Open(RegRoot::kCurrentUser, "A", kKeyRead), kErrorSuccess);
}

TEST_F(RegistryStoreTest, DamagedHivesAreReadAsFarAsPossibleAndNeverOverwritten) {
  mkdir((dir_.path() + "/reg").c_str(), 0700);
  std::string hive = RegistryHivePath(RegRoot::kCurrentUser);
  WriteTextFile(hive,
                "QXFW-HIVE 1\n"
                "K\tSoftware\\Good\n"
                "V\t1\tName\tvalue%00\n"
                "V\tone\tBad\tx\n"  // type is not a number
                "V\t1\tBad2\t%4\n"  // escape cut short
                "K\tSoftware\\Good\\Sub\n");
  {
    ScopedDebugCapture capture;
    RegKey key;
    ASSERT_EQ(key.Open(RegRoot::kCurrentUser, "Software\\Good", kKeyRead), kErrorSuccess);
    uint32_t values = 0, subkeys = 0;
    ASSERT_EQ(key.QueryInfo(&subkeys, &values, nullptr, nullptr), kErrorSuccess);
    EXPECT_EQ(values, 1u);
    EXPECT_EQ(subkeys, 1u);
    EXPECT_TRUE(capture.Contains("[QXFW]RegistryHive: " + hive + " line 4 is damaged, skipped"));
    EXPECT_TRUE(capture.Contains("[QXFW]RegistryHive: " + hive + " line 5 is damaged, skipped"));
  }

  std::string foreign = "not a hive\nK\tX\n";
  WriteTextFile(hive, foreign);
  RegKey key;
  EXPECT_EQ(key.Open(RegRoot::kCurrentUser, "X", kKeyRead), kErrorFileNotFound);
  EXPECT_EQ(key.Create(RegRoot::kCurrentUser, "Y", kKeyAllAccess), kErrorBadDb);
  EXPECT_EQ(ReadTextFile(hive), foreign);
}

TEST_F(RegistryStoreTest, WritersInTwoProcessesKeepEachOthersValues) {
  {
    RegKey key;
    ASSERT_EQ(key.Create(RegRoot::kCurrentUser, "Shared", kKeyAllAccess), kErrorSuccess);
  }
  constexpr int kPerWriter = 40;
  pid_t children[2];
  for (int writer = 0; writer < 2; ++writer) {
    children[writer] = fork();
    ASSERT_GE(children[writer], 0);
    if (children[writer] == 0) {
      RegKey key;
      int failures = key.Open(RegRoot::kCurrentUser, "Shared", kKeyAllAccess) != kErrorSuccess;
      for (int i = 0; i < kPerWriter; ++i) {
        std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
        failures += key.SetDword(name, static_cast<uint32_t>(i)) != kErrorSuccess;
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RegKey key;
  ASSERT_EQ(key.Open(RegRoot::kCurrentUser, "Shared", kKeyRead), kErrorSuccess);
  std::set<std::string> names;
  std::string name;
  for (uint32_t i = 0; key.EnumValue(i, &name, nullptr, nullptr) == kErrorSuccess; ++i) {
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 2u * kPerWriter);
  EXPECT_TRUE(names.count("w0_0") && names.count("w1_39"));
}

TEST_F(RegistryStoreTest, ReadValueZeroFillsAndReportsOnlyRealReads) {
  RegKey key;
  ASSERT_EQ(key.Create(RegRoot::kLocalMachine, "Software\\Test", kKeyAllAccess), kErrorSuccess);
  ASSERT_EQ(key.SetString("Name", "abc"), kErrorSuccess);
  char buffer[8];
  std::memset(buffer, 'z', sizeof(buffer));
  ASSERT_TRUE(RegReadValue(RegRoot::kLocalMachine, "Software\\Test", "Name", buffer, 8));
  EXPECT_EQ(std::string(buffer, 8), std::string("abc\0\0\0\0\0", 8));
  std::memset(buffer, 'z', sizeof(buffer));
  EXPECT_FALSE(RegReadValue(RegRoot::kLocalMachine, "Software\\Test", "Other", buffer, 8));
  EXPECT_EQ(std::string(buffer, 8), std::string(8, '\0'));
  EXPECT_FALSE(RegReadValue(RegRoot::kLocalMachine, "Software\\Test", "Name", buffer, 3));
  EXPECT_FALSE(RegReadValue(RegRoot::kCurrentUser, "Software\\Test", "Name", buffer, 8));
}

class LinuxBackedKeysTest : public RegistryStoreTest {
 protected:
  std::string MakeProgram(const std::string& name) {
    std::string path = dir_.path() + "/bin/" + name;
    mkdir((dir_.path() + "/bin").c_str(), 0755);
    WriteTextFile(path, "#!/bin/sh\nexit 0\n", 0755);
    return path;
  }
  void MakeDesktopEntry(const std::string& folder, const std::string& id, const std::string& exec) {
    mkdir(folder.c_str(), 0755);
    mkdir((folder + "/applications").c_str(), 0755);
    WriteTextFile(folder + "/applications/" + id, "[Desktop Entry]\nName=Fake\nExec=" + exec +
                                                      "\n\n[Desktop Action new]\nExec=/wrong %u\n");
  }
  std::string BrowserKeyDefault(RegRoot root) {
    char buffer[512];
    if (!RegReadValue(root, "SOFTWARE\\Classes\\HTTP\\shell\\open\\command", "", buffer,
                      sizeof(buffer))) {
      return "<none>";
    }
    return buffer;
  }
};

TEST_F(LinuxBackedKeysTest, BrowserCommandComesFromXdgSettingsMimeAppsOrTheAlternative) {
  EXPECT_EQ(BrowserKeyDefault(RegRoot::kCurrentUser), "<none>");

  std::string browser = MakeProgram("fakebrowser");
  MakeDesktopEntry(dir_.path() + "/sysdata", "fake.desktop",
                   browser + "  --new-window %u --class=100%% %i");
  std::string expected = browser + " --new-window --class=100%";
  // The mimeapps.list road (xdg-settings switched off).
  mkdir((dir_.path() + "/config").c_str(), 0755);
  WriteTextFile(dir_.path() + "/config/mimeapps.list",
                "[Added Associations]\nx-scheme-handler/http=other.desktop\n"
                "[Default Applications]\nx-scheme-handler/http=missing.desktop;fake.desktop;\n");
  EXPECT_EQ(BrowserKeyDefault(RegRoot::kCurrentUser), expected);
  EXPECT_EQ(BrowserKeyDefault(RegRoot::kLocalMachine), expected);

  // xdg-settings wins over mimeapps.list; an entry in XDG_DATA_HOME over XDG_DATA_DIRS, and a
  // program name is looked up in PATH.
  std::string other = MakeProgram("otherbrowser");
  MakeDesktopEntry(dir_.path() + "/data", "chosen.desktop", "otherbrowser %U");
  MakeDesktopEntry(dir_.path() + "/sysdata", "chosen.desktop", "/wrong");
  std::string tool = dir_.path() + "/bin/xdg-settings";
  WriteTextFile(tool,
                "#!/bin/sh\n[ \"$1 $2\" = \"get default-web-browser\" ] && echo chosen.desktop\n",
                0755);
  {
    ScopedEnv settings("QXFW_XDG_SETTINGS", tool);
    ScopedEnv path("PATH", dir_.path() + "/bin:/usr/bin:/bin");
    EXPECT_EQ(BrowserKeyDefault(RegRoot::kCurrentUser), other);
  }

  // Without any desktop entry the x-www-browser alternative is followed to its program.
  std::remove((dir_.path() + "/config/mimeapps.list").c_str());
  std::string link = dir_.path() + "/x-www-browser";
  ASSERT_EQ(symlink(browser.c_str(), link.c_str()), 0);
  ScopedEnv www("QXFW_WWW_BROWSER", link);
  EXPECT_EQ(BrowserKeyDefault(RegRoot::kCurrentUser), browser);

  // The key is read-only.
  RegKey key;
  ASSERT_EQ(key.Create(RegRoot::kCurrentUser, "SOFTWARE\\Classes\\HTTP\\shell\\open\\command",
                       kKeyAllAccess),
            kErrorSuccess);
  EXPECT_EQ(key.SetString("", "/bin/evil"), kErrorAccessDenied);
  EXPECT_EQ(key.SetString("Other", "x"), kErrorAccessDenied);
  EXPECT_EQ(key.DeleteValue(""), kErrorAccessDenied);
  EXPECT_EQ(
      RegKey::DeleteKey(RegRoot::kCurrentUser, "SOFTWARE\\Classes\\HTTP\\shell\\open\\command"),
      kErrorAccessDenied);
}

TEST_F(LinuxBackedKeysTest, ServiceImagePathsComeFromTheMappedUnits) {
  std::string units = dir_.path() + "/units";
  std::string overrides = dir_.path() + "/etc-units";
  mkdir(units.c_str(), 0755);
  mkdir(overrides.c_str(), 0755);
  ScopedEnv systemd("QXFW_SYSTEMD_DIR", overrides + ":" + units);
  WriteTextFile(units + "/dbus.service",
                "[Unit]\nDescription=bus\nExecStart=/unit/section/ignored\n"
                "[Service]\nExecStart=@/usr/bin/dbus-daemon @dbus-daemon --system \\\n"
                "  --nofork\n");
  char buffer[260];
  ASSERT_TRUE(RegReadValue(RegRoot::kLocalMachine, "SYSTEM\\CurrentControlSet\\Services\\RpcSs",
                           "ImagePath", buffer, sizeof(buffer)));
  EXPECT_STREQ(buffer, "/usr/bin/dbus-daemon");
  // A unit in an earlier folder replaces the later one; an empty ExecStart= resets the list.
  WriteTextFile(overrides + "/dbus.service",
                "[Service]\nExecStart=/bin/old\nExecStart=\nExecStart=-\"/opt/my bus/busd\" -x\n");
  ASSERT_TRUE(RegReadValue(RegRoot::kLocalMachine, "SYSTEM\\CurrentControlSet\\Services\\RpcSs",
                           "ImagePath", buffer, sizeof(buffer)));
  EXPECT_STREQ(buffer, "\"/opt/my bus/busd\"");

  // No account service unit: the key does not exist, and the parent lists only RpcSs.
  RegKey samss;
  EXPECT_EQ(
      samss.Open(RegRoot::kLocalMachine, "SYSTEM\\CurrentControlSet\\Services\\Samss", kKeyRead),
      kErrorFileNotFound);
  RegKey services;
  ASSERT_EQ(services.Open(RegRoot::kLocalMachine, "SYSTEM\\CurrentControlSet\\Services", kKeyRead),
            kErrorSuccess);
  std::string name;
  ASSERT_EQ(services.EnumKey(0, &name), kErrorSuccess);
  EXPECT_EQ(name, "RpcSs");
  EXPECT_EQ(services.EnumKey(1, &name), kErrorNoMoreItems);
  WriteTextFile(units + "/systemd-logind.service", "[Service]\nExecStart=/lib/systemd/logind\n");
  EXPECT_TRUE(RegReadValue(RegRoot::kLocalMachine, "SYSTEM\\CurrentControlSet\\Services\\Samss",
                           "ImagePath", buffer, sizeof(buffer)));
  EXPECT_STREQ(buffer, "/lib/systemd/logind");

  RegKey rpcss;
  ASSERT_EQ(rpcss.Open(RegRoot::kLocalMachine, "SYSTEM\\CurrentControlSet\\Services\\RpcSs",
                       kKeyAllAccess),
            kErrorSuccess);
  uint32_t type = 0;
  ASSERT_EQ(rpcss.QueryValue("imagepath", &type, nullptr, nullptr), kErrorSuccess);
  EXPECT_EQ(type, kRegExpandSz);
  EXPECT_EQ(rpcss.SetString("ImagePath", "/bin/evil"), kErrorAccessDenied);
  // Services have no meaning under the user's hive, and KnownDLLs exists nowhere.
  RegKey other;
  EXPECT_EQ(
      other.Open(RegRoot::kCurrentUser, "SYSTEM\\CurrentControlSet\\Services\\RpcSs", kKeyRead),
      kErrorFileNotFound);
  EXPECT_EQ(other.Open(RegRoot::kLocalMachine,
                       "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs", kKeyRead),
            kErrorFileNotFound);
}

TEST_F(LinuxBackedKeysTest, ProgramFilesPathIsReadOnlyButItsKeyTakesOtherValues) {
  char buffer[260];
  ASSERT_TRUE(RegReadValue(RegRoot::kLocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                           "ProgramFilesPath", buffer, sizeof(buffer)));
  EXPECT_EQ(std::string(buffer), ProgramFilesFolder());

  RegKey key;
  ASSERT_EQ(
      key.Create(RegRoot::kLocalMachine,
                 "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QXFW", kKeyAllAccess),
      kErrorSuccess);
  ASSERT_EQ(key.SetString("DisplayName", "Firewall"), kErrorSuccess);
  RegKey current;
  ASSERT_EQ(current.Open(RegRoot::kLocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                         kKeyAllAccess),
            kErrorSuccess);
  EXPECT_EQ(current.SetString("ProgramFilesPath", "/elsewhere"), kErrorAccessDenied);
  ASSERT_EQ(current.SetString("CommonFilesDir", "/usr/share"), kErrorSuccess);
  uint32_t values = 0, subkeys = 0;
  ASSERT_EQ(current.QueryInfo(&subkeys, &values, nullptr, nullptr), kErrorSuccess);
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(subkeys, 1u);
  std::string name;
  ASSERT_EQ(current.EnumValue(0, &name, nullptr, nullptr), kErrorSuccess);
  EXPECT_EQ(name, "ProgramFilesPath");
  ASSERT_EQ(current.EnumValue(1, &name, nullptr, nullptr), kErrorSuccess);
  EXPECT_EQ(name, "CommonFilesDir");
  EXPECT_TRUE(RegReadValue(RegRoot::kLocalMachine,
                           "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QXFW",
                           "DisplayName", buffer, sizeof(buffer)));
}

TEST(LinuxFacts, DesktopEntryCommandsAndUnitPrograms) {
  EXPECT_EQ(DesktopEntryCommand("[Desktop Entry]\nExec=\"/opt/b r/x\" %F -a %% --u=%u\n"),
            "\"/opt/b r/x\" -a % --u=");
  EXPECT_EQ(DesktopEntryCommand("[Other]\nExec=/bin/x\n"), "");
  EXPECT_EQ(UnitExecStartProgram("[Service]\nExecStart=+!/usr/sbin/d -f\n"), "/usr/sbin/d");
  EXPECT_EQ(UnitExecStartProgram("[Service]\nExecStart=/usr/sbin/d\nExecStart=\n"), "");
  EXPECT_EQ(ServiceImagePath("Spooler"), "");
}

}  // namespace
}  // namespace qxfw::platform
