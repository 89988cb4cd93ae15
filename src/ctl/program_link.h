// Hands a rule, level or journal command to the running firewall program, which holds the
// rule data file and runs the command on its own store (so its screens show the change).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qxfw::ctl {

// Sends words (words[0] is the command) over the program's instance link and writes its
// output to out and its failure message to err. The request names this user's data folder; a
// program over another folder refuses it. Returns the command's exit status, or 1 (with
// heldMessage) when no program answers.
int ForwardToProgram(const std::vector<std::string>& words, const std::string& heldMessage,
                     std::ostream& out, std::ostream& err);

// The request text and answer text of the link: the data folder and the words joined by NUL
// bytes; output, then NUL and the failure message.
std::string JoinWords(const std::vector<std::string>& words);
std::vector<std::string> SplitWords(const std::string& text);

}  // namespace qxfw::ctl
