#include "shell/ui/page_views.h"

#include <QUrl>

#include "shell/app_command.h"

namespace qxfw::shell {

void CAntiVirusView::InitialUpdate(const std::string& pageFolder, bool korean) {
  folder_ = pageFolder;
  korean_ = korean;
  ShowMode(1);
}

void CAntiVirusView::OnPageCommand(const QString& command) {
  if (command.compare("cmdQuarantinePage", Qt::CaseInsensitive) == 0) {
    ShowMode(2);
  } else if (command.compare("cmdScanPage", Qt::CaseInsensitive) == 0) {
    ShowMode(1);
  } else {
    CPageView::OnPageCommand(command);
  }
}

void CAntiVirusView::ShowMode(int mode) {
  mode_ = mode;
  const char* file = mode == 2 ? "av_quarantine.html" : "vorpex.html";
  setUrl(QUrl(QString::fromStdString(PageAddress(folder_, korean_, file))));
}

}  // namespace qxfw::shell
