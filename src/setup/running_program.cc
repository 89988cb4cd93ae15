#include "setup/running_program.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/file.h"
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

bool CompanionEventExists(uid_t uid) {
  std::string name = "qxfw/" + std::to_string(uid) + "/" + kCompanionEventName;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Abstract name: a leading zero byte, no terminator counted.
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  platform::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return false;
  return connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) == 0;
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

bool AskWhileProgramRuns(uid_t uid, QuestionText which, CSetupMessageBox& box) {
  while (CompanionEventExists(uid)) {
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
