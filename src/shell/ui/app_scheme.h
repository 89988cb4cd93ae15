// The "app" URL scheme of the pages' command links.
//
// RegisterAppScheme must run before the QApplication exists. InstallAppScheme puts a handler
// that refuses every request on a profile; with both, every navigation to "app:" reaches the
// page's acceptNavigationRequest, which cancels it and hands it to the command filter, and no
// request of the scheme ever loads anything.
#pragma once

class QWebEngineProfile;

namespace qxfw::shell {

void RegisterAppScheme();
void InstallAppScheme(QWebEngineProfile* profile);

}  // namespace qxfw::shell
