#include "shell/ui/page_views.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include "shell/app_command.h"

namespace qxfw::shell {
namespace {

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

// The report as the page's ShowHomeState takes it.
QJsonObject ReportObject(const HomeReport& report) {
  QJsonArray problems;
  for (const HomeProblem& p : report.problems) {
    problems.append(QJsonObject{
        {"text", Text(p.text)}, {"command", Text(p.command)}, {"button", Text(p.button)}});
  }
  QJsonArray rows;
  for (const HomeRow& r : report.rows) {
    rows.append(QJsonObject{{"key", Text(r.key)},
                            {"label", Text(r.label)},
                            {"value", Text(r.value)},
                            {"warning", r.warning},
                            {"command", Text(r.command)},
                            {"button", Text(r.button)}});
  }
  return QJsonObject{{"protected", report.protectedNow},
                     {"headline", Text(report.headline)},
                     {"summary", Text(report.summary)},
                     {"problems", problems},
                     {"rows", rows}};
}

}  // namespace

CFireWallView::CFireWallView(QWidget* parent) : CPageView(0, "home.html", -1, parent) {
  setAccessibleName(QStringLiteral("Home"));
  connect(this, &CPageView::PageLoaded, this, [this](bool ok) {
    if (ok) ApplyReport();
  });
}

void CFireWallView::ShowReport(const HomeReport& report) {
  // JSON is a script literal; the page puts every text in as text, never as markup.
  stateScript_ = QStringLiteral("ShowHomeState(%1);")
                     .arg(QString::fromUtf8(
                         QJsonDocument(ReportObject(report)).toJson(QJsonDocument::Compact)));
  ApplyReport();
}

void CFireWallView::ApplyReport() {
  if (!IsPageLoaded() || stateScript_.isEmpty()) return;
  RunScript(stateScript_);
}

void CFireWallView::OnPageCommand(const QString& command) {
  if (command.compare(QLatin1String(kStartDriverCommand), Qt::CaseInsensitive) == 0) {
    emit StartDriverRequested();
    return;
  }
  CPageView::OnPageCommand(command);
}

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
  Navigate(QUrl(QString::fromStdString(PageAddress(folder_, korean_, file))));
}

}  // namespace qxfw::shell
