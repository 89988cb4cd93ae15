#include "setup/setup_message_box.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string_view>

#include "platform/debug_output.h"
#include "platform/text_compare.h"

extern char** environ;

namespace qxfw::setup {
namespace {

bool IsPositive(BoxAnswer a) {
  return a == BoxAnswer::kOk || a == BoxAnswer::kYes;
}

BoxAnswer Negative(BoxButtons buttons) {
  return buttons == BoxButtons::kOkCancel ? BoxAnswer::kCancel : BoxAnswer::kNo;
}

BoxAnswer Positive(BoxButtons buttons) {
  return buttons == BoxButtons::kOkCancel ? BoxAnswer::kOk : BoxAnswer::kYes;
}

// Takes the next preset answer off $QXFW_SETUP_ANSWERS; the variable keeps the rest, so the
// answers of one run are used in order.
bool NextPresetAnswer(BoxButtons buttons, BoxAnswer* answer) {
  const char* preset = std::getenv("QXFW_SETUP_ANSWERS");
  if (preset == nullptr) return false;
  std::string_view all(preset);
  size_t comma = all.find(',');
  std::string word(all.substr(0, comma));
  std::string rest = comma == std::string_view::npos ? "" : std::string(all.substr(comma + 1));
  setenv("QXFW_SETUP_ANSWERS", rest.c_str(), 1);
  bool yes = platform::EqualNoCase(word, "ok") || platform::EqualNoCase(word, "yes");
  *answer = yes ? Positive(buttons) : Negative(buttons);
  return true;
}

std::string HelperPath() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return {};
  std::string path(self, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return path.substr(0, slash + 1) + "qxfwsetup-ask";
}

bool AskHelper(const std::string& caption, const std::string& text, BoxButtons buttons,
               BoxAnswer* answer) {
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) return false;
  std::string helper = HelperPath();
  if (helper.empty() || access(helper.c_str(), X_OK) != 0) return false;
  const char* kind = buttons == BoxButtons::kOkCancel ? "okcancel" : "yesno";
  const char* argv[] = {helper.c_str(), kind, caption.c_str(), text.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, helper.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  // The helper exits 0 for OK/Yes, 1 for Cancel/No, anything else when it could not show.
  if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) return false;
  *answer = WEXITSTATUS(status) == 0 ? Positive(buttons) : Negative(buttons);
  return true;
}

bool AskTerminal(const std::string& caption, const std::string& text, BoxButtons buttons,
                 BoxAnswer* answer) {
  if (isatty(STDIN_FILENO) != 1) return false;
  bool okCancel = buttons == BoxButtons::kOkCancel;
  std::cerr << "\n[" << caption << "]\n"
            << text << "\n"
            << (okCancel ? "[O]K / [C]ancel? " : "[Y]es / [N]o? ") << std::flush;
  std::string line;
  if (!std::getline(std::cin, line)) return false;
  char c = line.empty() ? ' ' : static_cast<char>(line[0] | 0x20);
  *answer = (c == 'o' || c == 'y') ? Positive(buttons) : Negative(buttons);
  return true;
}

}  // namespace

BoxAnswer CSetupMessageBox::Ask(const std::string& caption, const std::string& text,
                                BoxButtons buttons) {
  BoxAnswer answer = Negative(buttons);
  if (NextPresetAnswer(buttons, &answer) || AskHelper(caption, text, buttons, &answer) ||
      AskTerminal(caption, text, buttons, &answer)) {
    platform::DebugOutput("[QXFWSetup] MessageBox: %s",
                          IsPositive(answer) ? "positive" : "negative");
    return answer;
  }
  platform::DebugOutput("[QXFWSetup] MessageBox: nobody to ask, answering %s",
                        buttons == BoxButtons::kOkCancel ? "Cancel" : "No");
  return answer;
}

}  // namespace qxfw::setup
