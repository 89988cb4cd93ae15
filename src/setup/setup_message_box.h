// The installer's message boxes. The installer has no window of its own; a question is put
//   1. to the answers preset in $QXFW_SETUP_ANSWERS ("ok", "cancel", "yes", "no", separated by
//      commas, used in order; once used up every further question is answered "cancel"), for
//      tests and unattended runs;
//   2. else to the small graphical helper "qxfwsetup-ask" beside the program when a display
//      is there;
//   3. else on the terminal when standard input is one;
//   4. else to nobody: the answer is Cancel (or No), so nothing is done that was not agreed to.
#pragma once

#include <string>

namespace qxfw::setup {

enum class BoxButtons { kOkCancel, kYesNo };
enum class BoxAnswer { kOk, kCancel, kYes, kNo };

class CSetupMessageBox {
 public:
  virtual ~CSetupMessageBox() = default;
  virtual BoxAnswer Ask(const std::string& caption, const std::string& text, BoxButtons buttons);
};

}  // namespace qxfw::setup
