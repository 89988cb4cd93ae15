#include "setup/running_program.h"

#include <cstdlib>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/named_event.h"
#include "setup/process_identity.h"

namespace qxfw::setup {
namespace {

constexpr int kEndGraceMs = 5000;

bool LocaleIsOtherThanKorean() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    std::string text(value);
    if (text == "C" || text == "POSIX" || text.rfind("C.", 0) == 0) return false;
    return text.rfind("ko", 0) != 0;
  }
  return false;
}

}  // namespace

bool CompanionEventExists(const SetupUser& user) {
  // The event belongs to the user's own scope, so the test runs with the user's identity.
  return RunAsUser(user, [] {
           return platform::NamedEventExists(kCompanionEventName, platform::EventScope::kUser) ? 1
                                                                                               : 0;
         }) == 1;
}

std::string RunningQuestionText(QuestionText which) {
  bool install = which == QuestionText::kInstall;
  if (LocaleIsOtherThanKorean()) {
    return std::string("Talvoran Firewall is already running.\n\nTo continue ") +
           (install ? "the installation" : "the removal") +
           ", close all other internet browsers\nand choose [OK].\n\n"
           "Choose [Cancel] to end the setup.";
  }
  return std::string("Talvoran Firewall이 이미 동작중입니다.\n\n") + (install ? "설치" : "제거") +
         "를 계속하시려면 다른 인터넷 브라우저를\n모두 닫으신 후에 [확인]을 선택하세요.\n\n"
         "[취소]를 선택하시면 설치가 종료됩니다.";
}

std::string AutostartQuestionText() {
  if (LocaleIsOtherThanKorean()) return "Start Talvoran Firewall whenever you log in?";
  return "로그인할 때마다 Talvoran Firewall을 시작하시겠습니까?";
}

bool AskWhileProgramRuns(const SetupUser& user, QuestionText which, CSetupMessageBox& box) {
  while (CompanionEventExists(user)) {
    if (box.Ask(kProductCaption, RunningQuestionText(which), BoxButtons::kOkCancel) !=
        BoxAnswer::kOk) {
      return false;
    }
  }
  return true;
}

int EndRunningProgram(const std::string& systemFolder, uid_t uid) {
  std::string program = systemFolder + "/qxfw";
  int ended = 0;
  for (pid_t pid : FindProcessesRunning(program, uid)) {
    if (EndProcessRunning(pid, program, kEndGraceMs)) {
      ++ended;
    } else {
      platform::DebugOutput("[QXFWSetup] EndRunningProgram: process %d did not end",
                            static_cast<int>(pid));
    }
  }
  return ended;
}

}  // namespace qxfw::setup
