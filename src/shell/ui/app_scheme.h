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
// Everything of the embedded browser that must happen before the QApplication exists: the app:
// scheme, and the settings of the browser's processes (shell/browser_flags.h): one renderer for
// all pages, drawing without the graphics processor (Qt Quick's software backend, no GL
// integration on X), no zygotes without a sandbox. Environment settings of the user are kept.
void PrepareBrowser();
void InstallAppScheme(QWebEngineProfile* profile);

}  // namespace qxfw::shell
