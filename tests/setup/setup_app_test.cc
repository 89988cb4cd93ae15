// CSetupApp with its folders on temporary folders, carried resources made by the test and a
// recording stand-in for the daemon service; the real binary for the command line.
#include "setup/setup_app.h"
#include "avlib/vdb_header.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/registry_store.h"
#include "setup/running_program.h"
#include "setup/uninstall_entry.h"
#include "setup_test_support.h"
#include "store/db_manager.h"
#include "test_support/command_output.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::setup {
namespace {

namespace fs = std::filesystem;
using test_support::ReadTextFile;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteTextFile;

struct ServiceCalls {
  int starts = 0;
  int stops = 0;
  int removes = 0;
  uid_t user = 12345;
  std::string program;
  std::string unitText;
};

class RecordingService : public CDriverService {
 public:
  RecordingService(ServiceCalls* calls, const DaemonPlace& place) : calls_(calls) {
    calls_->program = place.program;
    calls_->unitText = place.unitText;
  }
  bool Start(uid_t user) override {
    ++calls_->starts;
    calls_->user = user;
    return true;
  }
  bool Stop() override {
    ++calls_->stops;
    return true;
  }
  bool Remove() override {
    ++calls_->removes;
    return true;
  }

 private:
  ServiceCalls* calls_;
};

class ScriptedBox : public CSetupMessageBox {
 public:
  std::function<BoxAnswer()> answer = [] { return BoxAnswer::kCancel; };
  int asked = 0;
  std::string lastText;
  int autostartAsked = 0;
  BoxAnswer autostartAnswer = BoxAnswer::kNo;
  BoxAnswer Ask(const std::string& caption, const std::string& text, BoxButtons buttons) override {
    EXPECT_EQ(caption, "Talvoran Firewall");
    if (buttons == BoxButtons::kYesNo) {
      ++autostartAsked;
      return autostartAnswer;
    }
    ++asked;
    lastText = text;
    return answer();
  }
};

class SetupAppTest : public ::testing::Test {
 protected:
  SetupAppTest()
      : appdata_("QXFW_APPDATA", temp_.path() + "/appdata"),
        system_("QXFW_SYSTEM_DIR", temp_.path() + "/system"),
        runtime_("QXFW_RUNTIME_DIR", temp_.path() + "/run"),
        registry_("QXFW_REGISTRY_DIR", ""),
        lang_("LANG", "ko_KR.UTF-8"),
        config_("XDG_CONFIG_HOME", temp_.path() + "/config"),
        lcAll_("LC_ALL", ""),
        lcMessages_("LC_MESSAGES", "") {
    // LANG alone picks the language of the questions.
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    unsetenv("QXFW_REGISTRY_DIR");
    fs::create_directories(temp_.path() + "/system");
    resources_.Set(kResFirewallIni, "[Korean-412]\n1=홈\n");
    resources_.Set(kResInitialRules, "initial rule file");
    resources_.Set(kResAntivirusLibrary, "library v2");
    resources_.Set(kResDaemon, "daemon program");
    resources_.Set(kResScanEngine, "engine v1");
    resources_.Set(kResOwnDatabase, "own database");
    resources_.Set(kResDaemonUnit, "ExecStart=@QXFW_SYSTEM_DIR@/qltdifw\n");
  }

  int Run(SetupCommand command) {
    SetupUser user;
    user.uid = getuid();
    user.gid = getgid();
    CSetupApp app(resources_, box_, user, [this](const DaemonPlace& place) {
      return std::make_unique<RecordingService>(&calls_, place);
    });
    return app.Run(command);
  }

  std::string Firewall(const char* name) const {
    return temp_.path() + "/appdata/QOLTEX/Firewall/" + name;
  }
  std::string Antivirus(const char* name) const {
    return temp_.path() + "/appdata/QOLTEX/AntiVirus/" + name;
  }
  std::string System(const char* name) const { return temp_.path() + "/system/" + name; }

  std::string UninstallValue(const char* name) const {
    char buffer[512] = {};
    if (!platform::RegReadValue(platform::RegRoot::kLocalMachine, kUninstallKey, name, buffer,
                                sizeof(buffer) - 1)) {
      return "<missing>";
    }
    return buffer;
  }

  TempDir temp_;
  ScopedEnv appdata_, system_, runtime_, registry_, lang_, config_, lcAll_, lcMessages_;
  CMemoryResources resources_;
  ScriptedBox box_;
  ServiceCalls calls_;
};

TEST_F(SetupAppTest, InstallWritesTheDataFilesAndTheUninstallEntry) {
  EXPECT_EQ(Run(SetupCommand::kInstall), 0);
  EXPECT_EQ(ReadTextFile(Firewall("QLFW.dat")), "initial rule file");
  EXPECT_EQ(ReadTextFile(Firewall("Firewall.ini")), "[Korean-412]\n1=홈\n");
  EXPECT_EQ(ReadTextFile(Antivirus("libqxav.so")), "library v2");
  // The library finds its engine and databases beside it.
  EXPECT_EQ(ReadTextFile(Antivirus("libdvengine32.so")), "engine v1");
  EXPECT_EQ(ReadTextFile(Antivirus("qxfw.vdb")), "own database");
  std::string pointer = ReadTextFile(Antivirus("clamav.vdb"));
  avlib::VdbHeader header;
  ASSERT_TRUE(avlib::ParseVdbHeader(reinterpret_cast<const uint8_t*>(pointer.data()),
                                    pointer.size(), &header));
  EXPECT_EQ(header.payloadType, "dir");
  EXPECT_EQ(pointer.substr(avlib::kVdbHeaderSize), "/var/lib/clamav");
  EXPECT_EQ(header.payloadLength, pointer.size() - avlib::kVdbHeaderSize);
  EXPECT_EQ(UninstallValue("DisplayName"), "Talvoran Firewall");
  EXPECT_EQ(UninstallValue("DisplayIcon"), System("qxfwsetup"));
  EXPECT_EQ(UninstallValue("UninstallString"), System("qxfwsetup") + " /uninstall");
  EXPECT_EQ(box_.asked, 0);
  // The quarantine folder with this user's private folder in it.
  struct stat st {};
  ASSERT_EQ(stat((System("quarantine/") + std::to_string(getuid())).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, getuid());
}

TEST_F(SetupAppTest, SecondInstallKeepsRulesReplacesTextsAndForgetsOptions) {
  ASSERT_EQ(Run(SetupCommand::kInstall), 0);
  WriteTextFile(Firewall("QLFW.dat"), "the user's rules");
  WriteTextFile(Firewall("Firewall.ini"), "edited");
  WriteTextFile(Firewall("UserOpts.ini"), "[Options]\nLanguage=1\n");
  WriteTextFile(Antivirus("dvupdate.ini"), "[VISION]\n");
  WriteTextFile(Antivirus("libqxav.so"), "library v1");
  ASSERT_EQ(Run(SetupCommand::kInstall), 0);
  EXPECT_EQ(ReadTextFile(Firewall("QLFW.dat")), "the user's rules");
  EXPECT_EQ(ReadTextFile(Firewall("Firewall.ini")), "[Korean-412]\n1=홈\n");
  EXPECT_FALSE(fs::exists(Firewall("UserOpts.ini")));
  EXPECT_FALSE(fs::exists(Antivirus("dvupdate.ini")));
  EXPECT_EQ(ReadTextFile(Antivirus("libqxav.so")), "library v2");
}

TEST_F(SetupAppTest, AutostartIsOfferedNotForced) {
  std::string entry = temp_.path() + "/config/autostart/qxfw.desktop";
  ASSERT_EQ(Run(SetupCommand::kInstall), 0);
  EXPECT_EQ(box_.autostartAsked, 1);
  EXPECT_FALSE(fs::exists(entry));
  box_.autostartAnswer = BoxAnswer::kYes;
  ASSERT_EQ(Run(SetupCommand::kInstall), 0);
  EXPECT_NE(ReadTextFile(entry).find("Exec=" + System("qxfw") + "\n"), std::string::npos);
  ASSERT_EQ(Run(SetupCommand::kInstall), 0);
  EXPECT_EQ(box_.autostartAsked, 2);  // not asked again once the entry exists
}

TEST_F(SetupAppTest, MissingResourcesWriteNothing) {
  CMemoryResources none;
  resources_ = none;
  EXPECT_EQ(Run(SetupCommand::kInstall), 0);
  EXPECT_FALSE(fs::exists(Firewall("QLFW.dat")));
  EXPECT_FALSE(fs::exists(Firewall("Firewall.ini")));
  EXPECT_TRUE(fs::is_directory(temp_.path() + "/appdata/QOLTEX/AntiVirus"));
}

TEST_F(SetupAppTest, RunningProgramQuestion) {
  test::CompanionEvent event;
  ASSERT_TRUE(event.Held());
  // Cancel: /Install ends with 1 and writes nothing.
  EXPECT_EQ(Run(SetupCommand::kInstall), 1);
  EXPECT_EQ(box_.asked, 1);
  EXPECT_NE(box_.lastText.find("설치를 계속하시려면"), std::string::npos);
  EXPECT_FALSE(fs::exists(Firewall("QLFW.dat")));
  EXPECT_FALSE(fs::exists(Firewall("Firewall.ini")));
  EXPECT_EQ(UninstallValue("DisplayName"), "<missing>");
  // OK while the event stays asks again; once it is gone the install goes on.
  box_.asked = 0;
  box_.answer = [&] {
    if (box_.asked == 2) event.Drop();
    return BoxAnswer::kOk;
  };
  EXPECT_EQ(Run(SetupCommand::kInstall), 0);
  EXPECT_EQ(box_.asked, 2);
  EXPECT_TRUE(fs::exists(Firewall("QLFW.dat")));
}

TEST_F(SetupAppTest, QuestionTextsFollowTheLocaleAndDefaultToKorean) {
  {
    ScopedEnv lang("LANG", "C.UTF-8");
    EXPECT_EQ(RunningQuestionText(QuestionText::kInstall),
              "Talvoran Firewall이 이미 동작중입니다.\n\n설치를 계속하시려면 다른 인터넷 "
              "브라우저를\n모두 닫으신 후에 [확인]을 선택하세요.\n\n[취소]를 선택하시면 설치가 "
              "종료됩니다.");
  }
  ScopedEnv lang("LANG", "en_GB.UTF-8");
  EXPECT_NE(RunningQuestionText(QuestionText::kRemoval).find("continue the removal"),
            std::string::npos);
  EXPECT_NE(AutostartQuestionText().find("log in"), std::string::npos);
}

TEST_F(SetupAppTest, UninstallCancelledLeavesEverything) {
  ASSERT_EQ(Run(SetupCommand::kInstall), 0);
  WriteTextFile(System("qxfw"), "program");
  test::CompanionEvent event;
  ASSERT_TRUE(event.Held());
  EXPECT_EQ(Run(SetupCommand::kUninstall), 0);
  EXPECT_NE(box_.lastText.find("제거를 계속하시려면"), std::string::npos);
  EXPECT_EQ(UninstallValue("DisplayName"), "Talvoran Firewall");
  EXPECT_TRUE(fs::exists(System("qxfw")));
  EXPECT_EQ(calls_.removes, 0);
}

TEST_F(SetupAppTest, UninstallRemovesTheEntryTheProgramFilesAndStopsTheDaemonFirst) {
  ASSERT_EQ(Run(SetupCommand::kInstall), 0);
  for (const char* name : {"qxfwsetup", "qxfw", "qltdifw"}) WriteTextFile(System(name), "x");
  {
    platform::RegKey key;
    ASSERT_EQ(
        key.Create(platform::RegRoot::kLocalMachine, kDistributionUnitKey, platform::kKeyAllAccess),
        0);
  }
  EXPECT_EQ(Run(SetupCommand::kUninstall), 0);
  EXPECT_EQ(UninstallValue("DisplayName"), "<missing>");
  platform::RegKey key;
  EXPECT_EQ(key.Open(platform::RegRoot::kLocalMachine, kDistributionUnitKey, platform::kKeyRead),
            platform::kErrorFileNotFound);
  for (const char* name : {"qxfwsetup", "qxfw", "qltdifw"}) EXPECT_FALSE(fs::exists(System(name)));
  if (getuid() == 0) {
    EXPECT_EQ(calls_.removes, 1);
    EXPECT_EQ(calls_.program, System("qltdifw"));
  }
  // The user's rules are the user's: uninstall leaves them.
  EXPECT_TRUE(fs::exists(Firewall("QLFW.dat")));
}

TEST_F(SetupAppTest, StartDriverWritesTheDaemonAndStartsItForTheUser) {
  if (getuid() != 0) GTEST_SKIP() << "/StartDriver as a normal user goes through pkexec";
  EXPECT_EQ(Run(SetupCommand::kStartDriver), 0);
  EXPECT_EQ(ReadTextFile(Firewall("Firewall.ini")), "[Korean-412]\n1=홈\n");
  EXPECT_EQ(ReadTextFile(System("qltdifw")), "daemon program");
  EXPECT_EQ(calls_.starts, 1);
  EXPECT_EQ(calls_.user, getuid());
  EXPECT_EQ(calls_.unitText, "ExecStart=" + System("qltdifw") + "\n");
  EXPECT_EQ(Run(SetupCommand::kStopDriver), 0);
  EXPECT_EQ(calls_.stops, 1);
  EXPECT_FALSE(fs::exists(Firewall("QLFW.dat")));  // only /Install places the rule file
}

TEST_F(SetupAppTest, InstallEndsTheProgramBeforeItDeletesUserOpts) {
  // A stand-in "qxfw" that saves its options when asked to end, as the program does.
  fs::copy_file("/bin/bash", System("qxfw"));
  chmod(System("qxfw").c_str(), 0755);
  ASSERT_EQ(Run(SetupCommand::kInstall), 0);
  std::string saved = Firewall("UserOpts.ini");
  pid_t child = fork();
  if (child == 0) {
    std::string script =
        "trap 'echo saved > " + saved + "; exit 0' TERM; while :; do sleep 0.05; done";
    execl(System("qxfw").c_str(), "qxfw", "-c", script.c_str(), nullptr);
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Run(SetupCommand::kInstall), 0);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, WNOHANG), child);
  EXPECT_FALSE(fs::exists(saved));
  if (fs::exists(saved)) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
}

TEST_F(SetupAppTest, BinaryRefusesASwitchWithMoreTextAndTakesAnyCase) {
  std::string env = "QXFW_APPDATA=" + temp_.path() + "/appdata QXFW_SYSTEM_DIR=" + temp_.path() +
                    "/system QXFW_RUNTIME_DIR=" + temp_.path() + "/run";
  EXPECT_EQ(test::RunSetup("/Install x", env), 2);
  EXPECT_FALSE(fs::exists(temp_.path() + "/appdata"));
  EXPECT_FALSE(fs::exists(Firewall("QLFW.dat")));
  EXPECT_EQ(UninstallValue("DisplayName"), "<missing>");
  EXPECT_EQ(test::RunSetup("/iNsTaLl", env), 0);
  {
    // The carried initial rule file is a rule store of its own format, at the default level.
    store::CDBManager rules(temp_.path() + "/appdata/QOLTEX/Firewall");
    EXPECT_TRUE(rules.IsRuleFileOpen());
    EXPECT_EQ(rules.GetSecurityLevel(), 3u);
  }
  EXPECT_EQ(UninstallValue("DisplayName"), "Talvoran Firewall");
  test::CompanionEvent event;
  ASSERT_TRUE(event.Held());
  EXPECT_EQ(test::RunSetup("/install", env + " QXFW_SETUP_ANSWERS=cancel"), 1);
  EXPECT_EQ(test::RunSetup("/uninstall", env + " QXFW_SETUP_ANSWERS=cancel"), 0);
  EXPECT_EQ(UninstallValue("DisplayName"), "Talvoran Firewall");
}

// The binary on a home, data, system and runtime folder of its own, none of them existing.
TEST(SetupBinaryTest, AnswersHelpAndRefusesAnyOtherWordsWithoutTouchingAnything) {
  TempDir temp;
  const std::string env =
      "env -u XDG_DATA_HOME -u XDG_STATE_HOME -u XDG_CONFIG_HOME "
      "-u QXFW_REGISTRY_DIR -u QXFW_WINDOWS_DIR QXFW_SETUP_ANSWERS= HOME='" +
      temp.path() + "/home' QXFW_APPDATA='" + temp.path() + "/appdata' QXFW_SYSTEM_DIR='" +
      temp.path() + "/system' QXFW_RUNTIME_DIR='" + temp.path() + "/run' " QXFWSETUP_PATH;
  for (const char* help : {"--help", "-h"}) {
    test_support::CommandOutput out =
        test_support::RunCommandLine(env + " " + help + " 2>/dev/null </dev/null");
    EXPECT_EQ(out.status, 0) << help;
    EXPECT_EQ(
        out.out.rfind("usage: qxfwsetup /Install | /StartDriver | /StopDriver | /Uninstall\n", 0),
        0u)
        << out.out;
    EXPECT_EQ(out.out, kSetupUsage);
  }
  for (const char* words : {"install", "--install", "/Install now", "/Install --help", "-H", "",
                            "/Install /Uninstall", "--help -h"}) {
    test_support::CommandOutput out =
        test_support::RunCommandLine(env + " " + words + " 2>&1 </dev/null");
    EXPECT_EQ(out.status, 2) << words;
    EXPECT_EQ(out.out.rfind("qxfwsetup: ", 0), 0u) << out.out;
    EXPECT_NE(out.out.find("\n\n" + std::string(kSetupUsage)), std::string::npos) << out.out;
  }
  EXPECT_TRUE(fs::is_empty(temp.path()));
  // The refusal names the words it got, with terminal controls made harmless.
  EXPECT_EQ(RefusalText("install"),
            "qxfwsetup: unknown switch 'install' (the switches are /Install, /StartDriver, "
            "/StopDriver and /Uninstall)");
  EXPECT_EQ(RefusalText("x\x1b[31m").find('\x1b'), std::string::npos);
  EXPECT_EQ(RefusalText(""), "qxfwsetup: no switch given");
}

}  // namespace
}  // namespace qxfw::setup
