// The running-program question and the end of the running firewall program.
//
// A running part of the suite is told by the companion event "TalvoranFirewallRunning_ActiveX"
// of the user the run works for (a named event of that user's scope). As long as
// it exists the user is asked, system-modal with OK and Cancel, to close the browsers; OK asks
// the event again, anything else stops.
#pragma once

#include <sys/types.h>

#include <string>

#include "setup/setup_message_box.h"
#include "setup/setup_user.h"

namespace qxfw::setup {

constexpr char kCompanionEventName[] = "TalvoranFirewallRunning_ActiveX";
constexpr char kProductCaption[] = "Talvoran Firewall";

enum class QuestionText { kInstall, kRemoval };

// True while the companion event of user exists.
bool CompanionEventExists(const SetupUser& user);

// The question's text in the user's language: Korean, or English when the locale names
// another language.
std::string RunningQuestionText(QuestionText which);

// The question whether the program should start when the user logs in.
std::string AutostartQuestionText();

// True (go on) once the event is gone; false (stop) when the user answers anything but OK.
bool AskWhileProgramRuns(const SetupUser& user, QuestionText which, CSetupMessageBox& box);

// Ends every "qxfw" of user uid that runs systemFolder/qxfw: a termination request first,
// which the program treats as "Turn off" and saves its preferences, then a kill after a grace
// time. Returns the number of processes ended.
int EndRunningProgram(const std::string& systemFolder, uid_t uid);

}  // namespace qxfw::setup
