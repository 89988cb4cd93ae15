// The running-program question and the end of the running firewall program.
//
// A running part of the suite is told by the companion event "TalvoranFirewallRunning_ActiveX"
// of the user the run works for (the per-user abstract socket "qxfw/<uid>/<name>"). As long as
// it exists the user is asked, system-modal with OK and Cancel, to close the browsers; OK asks
// the event again, anything else stops.
#pragma once

#include <sys/types.h>

#include <string>

#include "setup/setup_message_box.h"

namespace qxfw::setup {

constexpr char kCompanionEventName[] = "TalvoranFirewallRunning_ActiveX";
constexpr char kProductCaption[] = "Talvoran Firewall";

enum class QuestionText { kInstall, kRemoval };

// True while the companion event of user uid exists.
bool CompanionEventExists(uid_t uid);

// The question's text in the user's language: Korean, or English when the locale names
// another language.
std::string RunningQuestionText(QuestionText which);

// True (go on) once the event is gone; false (stop) when the user answers anything but OK.
bool AskWhileProgramRuns(uid_t uid, QuestionText which, CSetupMessageBox& box);

// Ends every "qxfw" of user uid that runs systemFolder/qxfw: a termination request first,
// which the program treats as "Turn off" and saves its preferences, then a kill after a grace
// time. Returns the number of processes ended.
int EndRunningProgram(const std::string& systemFolder, uid_t uid);

}  // namespace qxfw::setup
