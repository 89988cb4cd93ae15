#include "ctl/program_link.h"

#include "platform/folders.h"
#include "shell/instance_link.h"

namespace qxfw::ctl {

std::string JoinWords(const std::vector<std::string>& words) {
  std::string text;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += '\0';
    text += words[i];
  }
  return text;
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\0', start);
    words.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return words;
}

int ForwardToProgram(const std::vector<std::string>& words, const std::string& heldMessage,
                     std::ostream& out, std::ostream& err) {
  std::vector<std::string> request{platform::FirewallDataFolder()};
  request.insert(request.end(), words.begin(), words.end());
  auto answer = shell::SendToRunningInstance({'C', JoinWords(request)});
  if (!answer) {
    err << "qxfwctl: " << heldMessage << "\n";
    return 1;
  }
  std::vector<std::string> parts = SplitWords(answer->text);
  out << parts[0];
  if (parts.size() > 1 && !parts[1].empty()) err << "qxfwctl: " << parts[1] << "\n";
  int status = answer->kind - '0';
  return status >= 0 && status <= 2 ? status : 1;
}

}  // namespace qxfw::ctl
