#include "firewall/ui/ask_dialog.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QThreadPool>

#include "controls/caption_drag.h"
#include "controls/chk_box.h"
#include "controls/color_static.h"
#include "controls/skin_image.h"
#include "monitor/version_info.h"
#include "shell/debug.h"
#include "shell/event_log.h"
#include "store/db_manager.h"

// The pictures live in a static library; pull them in before the first prompt.
static void InitFirewallUiResources() {
  Q_INIT_RESOURCE(firewall_ui);
}

namespace qxfw::firewall {
namespace {

constexpr char kNotAvailable[] = "n/a";
const QColor kBandTop(0x2f, 0x74, 0xb8);
const QColor kBandBottom(0x1d, 0x55, 0x91);
const QColor kLabelColor(0x4a, 0x58, 0x68);
const QColor kValueColor(0x20, 0x2a, 0x36);
const QColor kSectionColor(0x1d, 0x4f, 0x86);
const QColor kBackground(0xf7, 0xf9, 0xfc);
constexpr int kBandHeight = 26;
constexpr int kButtonWidth = 63;
constexpr int kButtonHeight = 26;
constexpr int kAllowLeft = 270;
constexpr int kBlockLeft = 334;
constexpr int kCascade = 24;

template <typename... Args>
void Debug(const char* label, const char* format, Args... args) {
  if (shell::CDebug* debug = shell::CDebug::Instance()) debug->Log(label, format, args...);
}

// "&&" is how the string table writes a single "&".
QString Plain(QString text) {
  return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

QString ImagePath(const char* name) {
  return QStringLiteral(":/qxfw/firewall/%1").arg(QLatin1String(name));
}

// The icon a desktop entry names (a theme name or a file), else our generic program icon.
QIcon ProgramIconNamed(const std::string& iconName) {
  QString name = QString::fromStdString(iconName);
  if (!name.isEmpty()) {
    QIcon icon = QFileInfo(name).isAbsolute() ? QIcon(name) : QIcon::fromTheme(name);
    if (!icon.isNull()) return icon;
  }
  return QIcon(ImagePath("program.svg"));
}

controls::CColorStatic* Static(QWidget* parent, int id, const QRect& geometry, const QColor& color,
                               const QFont& font) {
  auto* label = new controls::CColorStatic(parent);
  label->setObjectName(QString::number(id));
  label->setGeometry(geometry);
  label->SetTextColor(color);
  label->setFont(font);
  label->setTextFormat(Qt::PlainText);
  label->setAttribute(Qt::WA_TransparentForMouseEvents, false);
  return label;
}

}  // namespace

QString PortText(uint16_t port) {
  // The services database is read under its own lock; the prompt runs on one thread only.
  servent* service = ::getservbyport(htons(port), nullptr);
  if (service != nullptr && service->s_name != nullptr) {
    return QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(service->s_name)).arg(port);
  }
  return QString::number(port);
}

QString RemoteText(const CNETWORK_REQUEST& request) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&request.remoteAddress);
  return QStringLiteral("%1.%2.%3.%4:%5")
      .arg(bytes[0])
      .arg(bytes[1])
      .arg(bytes[2])
      .arg(bytes[3])
      .arg(PortText(ntohs(request.remotePort)));
}

CAskDialog* CAskDialog::Open(std::shared_ptr<const AskContext> context,
                             const CNETWORK_REQUEST& request) {
  auto* prompt = new CAskDialog(std::move(context), request);
  prompt->show();
  prompt->raise();
  return prompt;
}

std::vector<CAskDialog*> CAskDialog::OpenPrompts() {
  std::vector<CAskDialog*> prompts;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* prompt = qobject_cast<CAskDialog*>(widget);
    if (prompt != nullptr && !prompt->answered_) prompts.push_back(prompt);
  }
  std::sort(prompts.begin(), prompts.end(), [](CAskDialog* a, CAskDialog* b) {
    return a->property("qxfwSerial").toULongLong() < b->property("qxfwSerial").toULongLong();
  });
  return prompts;
}

CAskDialog::CAskDialog(std::shared_ptr<const AskContext> context, const CNETWORK_REQUEST& request)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::NoDropShadowWindowHint),
      context_(std::move(context)),
      request_(request) {
  static const bool resources = (InitFirewallUiResources(), true);
  (void)resources;
  static unsigned long long serial = 0;
  setProperty("qxfwSerial", ++serial);
  setObjectName(QString::number(IDD));
  // Raised above other windows, but the keyboard stays with the window the user types in.
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  setMouseTracking(true);
  setWindowTitle(Text(205));

  const QString family = context_->korean ? QStringLiteral("NanumGothic") : QStringLiteral("Arial");
  font_ = QFont(family);
  font_.setPixelSize(11);
  boldFont_ = font_;
  boldFont_.setWeight(QFont::Bold);

  process_ = LookUp();
  fileName_ = process_.program.name.empty() ? std::string(kNotAvailable) : process_.program.name;
  CreateControls();
  FillTexts();
  SetExpanded(false);
  CentreOnScreen();
}

CAskDialog::~CAskDialog() = default;

void CAskDialog::WriteEvent(const std::function<void(shell::CEventLog&)>& write) const {
  // The log takes one writer at a time: held for a line only, so that prompts open side by
  // side all get their lines in.
  std::unique_ptr<shell::CEventLog> log =
      context_->eventLogFolder.empty()
          ? std::make_unique<shell::CEventLog>()
          : std::make_unique<shell::CEventLog>(context_->eventLogFolder);
  write(*log);
}

PromptProcess CAskDialog::LookUp() const {
  return context_->lookUp ? context_->lookUp(request_.processId)
                          : PromptProcessOf(request_.processId);
}

QString CAskDialog::Text(int id) const {
  return context_->text ? context_->text(id) : QString();
}

void CAskDialog::CreateControls() {
  QFont title = boldFont_;
  title.setPixelSize(12);
  auto* band = Static(this, kTitle, QRect(0, 0, kWidth, kBandHeight), Qt::white, title);
  band->setIndent(10);
  band->setAttribute(Qt::WA_TransparentForMouseEvents);

  auto* banner = new QLabel(this);
  banner->setObjectName(QString::number(kBanner));
  banner->setGeometry(0, kBandHeight, kWidth, 56);
  banner->setPixmap(QIcon(ImagePath("banner.svg")).pixmap(QSize(kWidth, 56)));
  auto* icon = new QLabel(this);
  icon->setObjectName(QString::number(kIcon));
  icon->setGeometry(16, 34, 40, 40);
  QFont name = boldFont_;
  name.setPixelSize(14);
  Static(this, kName, QRect(66, 40, 290, 28), kSectionColor, name);

  auto section = [&](int id, int stringId, int top) {
    auto* bullet = new QLabel(this);
    bullet->setGeometry(12, top + 3, 12, 12);
    bullet->setPixmap(QIcon(ImagePath("section.svg")).pixmap(QSize(12, 12)));
    auto* heading = Static(this, id, QRect(28, top, 370, 18), kSectionColor, boldFont_);
    heading->setText(Plain(Text(stringId)));
  };
  section(kProgramSection, 99, 90);
  section(kConnectionSection, 101, 182);

  struct Row {
    int label;
    int value;
    int stringId;
    int top;
  };
  const Row rows[] = {{kPathLabel, kPath, 17, 110},
                      {kDescriptionLabel, kDescription, 44, 132},
                      {kCompanyLabel, kCompany, 100, 154},
                      {kRemoteLabel, kRemote, 3, 202},
                      {kRequestLabel, kRequest, 102, 224}};
  for (const Row& row : rows) {
    Static(this, row.label, QRect(28, row.top, 88, 18), kLabelColor, font_)
        ->setText(Plain(Text(row.stringId)));
    Static(this, row.value, QRect(118, row.top, 282, 18), kValueColor, font_);
  }

  auto* separator = new QLabel(this);
  separator->setObjectName(QString::number(kSeparator));
  separator->setGeometry(10, 252, kWidth - 20, 1);
  separator->setStyleSheet(QStringLiteral("background:#cfd9e4"));

  auto* toggle = Static(this, kToggle, QRect(14, kButtonTop + 4, 200, 18), kSectionColor, font_);
  toggle->setText(Plain(Text(206)));
  toggle->setIndent(18);
  toggle->setCursor(Qt::PointingHandCursor);

  auto* options = new QLabel(this);
  options->setObjectName(QString::number(kOptionsPicture));
  options->setGeometry(10, 312, kWidth - 20, 100);
  options->setStyleSheet(
      QStringLiteral("background:#ffffff;border:1px solid #cdd7e2;border-radius:3px"));
  auto makeBox = [&](int id, int stringId, int top) {
    auto* box = new controls::CChkBox(this);
    box->setObjectName(QString::number(id));
    box->setText(Text(stringId));
    box->setFont(font_);
    box->setGeometry(26, top, 360, 20);
    box->setFocusPolicy(Qt::NoFocus);
    return box;
  };
  makeBox(kOnlyIp, 104, 330);
  makeBox(kOnlyPort, 103, 366);

  auto* hidden = new QWidget(this);
  hidden->setObjectName(QString::number(kHidden));
  hidden->setGeometry(-100, -100, 1, 1);
}

void CAskDialog::SetValue(int id, const QString& text) {
  auto* label = static_cast<QLabel*>(Control(id));
  label->setText(label->fontMetrics().elidedText(text, Qt::ElideMiddle, label->width()));
  label->setToolTip(text);
}

void CAskDialog::FillTexts() {
  const std::string& path = process_.program.path;
  static_cast<QLabel*>(Control(kTitle))->setText(Text(205));
  static_cast<QLabel*>(Control(kIcon))
      ->setPixmap(ProgramIconNamed(std::string()).pixmap(QSize(40, 40)));
  static_cast<QLabel*>(Control(kName))
      ->setText(QStringLiteral("%1(%2)")
                    .arg(QString::fromStdString(fileName_))
                    .arg(static_cast<int>(request_.processId)));
  SetValue(kPath, path.empty() ? QString::fromLatin1(kNotAvailable) : QString::fromStdString(path));
  SetValue(kRemote, RemoteText(request_));
  SetValue(kRequest, Text(request_.requestType == kRequestTcpConnect ? 52 : 105));
  if (path.empty()) return;
  // The package database and the desktop entries may take a while on their first reading: the
  // prompt is shown at once and their texts follow.
  QPointer<CAskDialog> self(this);
  QThreadPool::globalInstance()->start([self, path] {
    auto facts = std::make_shared<ProgramFacts>();
    monitor::CFileVersionInfo version(path);
    facts->description = version.Get(monitor::CFileVersionInfo::kFileDescription);
    facts->company = version.Get(monitor::CFileVersionInfo::kCompanyName);
    facts->icon = monitor::DesktopIconOf(path);
    QMetaObject::invokeMethod(
        qApp,
        [self, facts] {
          if (self) self->ShowProgramFacts(*facts);
        },
        Qt::QueuedConnection);
  });
}

void CAskDialog::ShowProgramFacts(const ProgramFacts& facts) {
  SetValue(kDescription, QString::fromStdString(facts.description));
  SetValue(kCompany, QString::fromStdString(facts.company));
  static_cast<QLabel*>(Control(kIcon))
      ->setPixmap(ProgramIconNamed(facts.icon).pixmap(QSize(40, 40)));
  factsShown_ = true;
}

QWidget* CAskDialog::Control(int id) const {
  return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

QString CAskDialog::ControlText(int id) const {
  QWidget* control = Control(id);
  if (auto* label = qobject_cast<QLabel*>(control)) {
    return label->toolTip().isEmpty() ? label->text() : label->toolTip();
  }
  if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->text();
  if (id == kAllow) return Text(10);
  if (id == kBlock) return Text(11);
  return {};
}

int CAskDialog::ButtonState(int id) const {
  return id == kAllow ? allowState_ : id == kBlock ? blockState_ : 0;
}

QRect CAskDialog::ButtonRect(int id) const {
  const int top = kButtonTop + (expanded_ ? kOptionsHeight : 0);
  return QRect(id == kAllow ? kAllowLeft : kBlockLeft, top, kButtonWidth, kButtonHeight);
}

int CAskDialog::ButtonAt(const QPoint& pos) const {
  if (ButtonRect(kAllow).contains(pos)) return kAllow;
  if (ButtonRect(kBlock).contains(pos)) return kBlock;
  return 0;
}

void CAskDialog::SetButtonState(int id, int state) {
  int& current = id == kAllow ? allowState_ : blockState_;
  if (current == state) return;
  current = state;
  update(ButtonRect(id));
}

void CAskDialog::SetExpanded(bool expanded) {
  expanded_ = expanded;
  for (int id : {kOnlyPort, kOnlyIp, kOptionsPicture}) {
    Control(id)->setVisible(expanded);
  }
  const int height = kCollapsedHeight + (expanded ? kOptionsHeight : 0);
  setFixedSize(kWidth, height);
  update();
}

void CAskDialog::CentreOnScreen() {
  QScreen* screen = QApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect area = screen->availableGeometry();
  // Prompts of other processes that are open already stay visible beside the new one.
  const int others = static_cast<int>(OpenPrompts().size()) - 1;
  const int shift = (others > 0 ? others : 0) % 8 * kCascade;
  QPoint topLeft(area.center().x() - kWidth / 2 + shift,
                 area.center().y() - (kCollapsedHeight + kOptionsHeight) / 2 + shift);
  move(topLeft);
}

void CAskDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kBackground);
  QLinearGradient band(0, 0, 0, kBandHeight);
  band.setColorAt(0, kBandTop);
  band.setColorAt(1, kBandBottom);
  painter.fillRect(QRect(0, 0, width(), kBandHeight), band);
  controls::PaintSkin(painter, ImagePath(expanded_ ? "collapse.svg" : "expand.svg"),
                      QRectF(16, kButtonTop + 7, 12, 12));

  painter.setRenderHint(QPainter::Antialiasing);
  painter.setFont(boldFont_);
  for (int id : {kAllow, kBlock}) {
    const char* kind = id == kAllow ? "allow" : "block";
    const int state = ButtonState(id);
    const char* suffix = state == kStatePressed ? "pressed"
                         : state == kStateHover ? "hover"
                                                : "normal";
    QRect button = ButtonRect(id);
    controls::PaintSkin(painter,
                        ImagePath(QStringLiteral("%1_%2.svg").arg(kind, suffix).toLatin1()),
                        QRectF(button));
    painter.setPen(Qt::white);
    painter.drawText(state == kStatePressed ? button.translated(1, 1) : button, Qt::AlignCenter,
                     Plain(Text(id == kAllow ? 10 : 11)));
  }
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setPen(QColor(0x1d, 0x55, 0x91));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void CAskDialog::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || answered_) return QWidget::mousePressEvent(event);
  const QPoint pos = event->position().toPoint();
  const int button = ButtonAt(pos);
  if (button != 0) {
    SetButtonState(button, kStatePressed);
    const char* line = button == kAllow ? "Allow Button Down" : "Block Button Down";
    WriteEvent([line](shell::CEventLog& log) { log.WriteText(line); });
    Debug("AskDlg::OnLButtonDown", "%s", line);
    return;
  }
  if (Control(kToggle)->geometry().contains(pos)) {
    OnCommand(kToggle);
    return;
  }
  if (drag_.Press(*this, *event)) return;
  QWidget::mousePressEvent(event);
}

void CAskDialog::mouseMoveEvent(QMouseEvent* event) {
  if (drag_.Move(*this, *event)) return;
  const QPoint pos = event->position().toPoint();
  const int over = ButtonAt(pos);
  for (int id : {kAllow, kBlock}) {
    if (id == over) {
      if (ButtonState(id) != kStatePressed) SetButtonState(id, kStateHover);
    } else {
      SetButtonState(id, kStateNormal);
    }
  }
  setCursor(over != 0 ? Qt::PointingHandCursor : Qt::ArrowCursor);
  QWidget::mouseMoveEvent(event);
}

void CAskDialog::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
  drag_.Release();
  const int over = ButtonAt(event->position().toPoint());
  if (!answered_ && over == kAllow && allowState_ == kStatePressed) {
    WriteEvent([](shell::CEventLog& log) { log.WriteText("Allow Button Up"); });
    Debug("AskDlg::OnLButtonUp", "%s", "OnAllow()");
    OnAllow();
    return;
  }
  if (!answered_ && over == kBlock && blockState_ == kStatePressed) {
    WriteEvent([](shell::CEventLog& log) { log.WriteText("Block Button Up"); });
    Debug("AskDlg::OnLButtonUp", "%s", "OnBlock()");
    OnBlock();
    return;
  }
  // Released elsewhere: a pressed button lets go without acting.
  for (int id : {kAllow, kBlock}) {
    if (ButtonState(id) == kStatePressed)
      SetButtonState(id, id == over ? kStateHover : kStateNormal);
  }
  QWidget::mouseReleaseEvent(event);
}

void CAskDialog::leaveEvent(QEvent* event) {
  for (int id : {kAllow, kBlock}) {
    if (ButtonState(id) == kStateHover) SetButtonState(id, kStateNormal);
  }
  QWidget::leaveEvent(event);
}

void CAskDialog::keyPressEvent(QKeyEvent* event) {
  // Neither Enter nor Escape answers: the prompt waits for a button.
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      event->accept();
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

void CAskDialog::closeEvent(QCloseEvent* event) {
  // Only an answer ends the prompt.
  if (!answered_) event->ignore();
}

void CAskDialog::OnCommand(int id) {
  switch (id) {
    case kCommandAllow:
      OnAllow();
      break;
    case kCommandBlock:
      OnBlock();
      break;
    case kToggle:
      if (!answered_) SetExpanded(!expanded_);
      break;
    default:
      break;
  }
}

void CAskDialog::OnAllow() {
  Answer(kVerdictAllow);
}

void CAskDialog::OnBlock() {
  Answer(kVerdictBlock);
}

void CAskDialog::Answer(uint32_t verdict) {
  if (answered_) return;
  answered_ = true;
  SaveChanges(verdict);
  emit AnsweredWith(verdict);
  hide();
  deleteLater();
}

void CAskDialog::SaveChanges(uint32_t verdict) {
  PromptAnswer answer;
  answer.verdict = verdict;
  answer.onlyThisIp = static_cast<QAbstractButton*>(Control(kOnlyIp))->isChecked();
  answer.onlyThisPort = static_cast<QAbstractButton*>(Control(kOnlyPort))->isChecked();
  Debug("AskDlg::SaveChanges", "Program=%s, Port=%d chkIP=%d chkPort=%d", fileName_.c_str(),
        static_cast<int>(ntohs(request_.remotePort)), answer.onlyThisIp ? 1 : 0,
        answer.onlyThisPort ? 1 : 0);
  PromptProcess now = LookUp();
  AnswerOutcome outcome;
  if (context_->store != nullptr && context_->pending != nullptr) {
    outcome = SaveAnswer(*context_->store, *context_->pending, request_, process_, now, answer,
                         context_->sendVerdict);
  }
  if (outcome.stored == AnswerOutcome::Stored::kAdded) {
    WriteEvent([&outcome](shell::CEventLog& log) {
      log.WriteProgramRule(outcome.rule.path, outcome.rule.action);
    });
  }
  if (outcome.next) Open(context_, *outcome.next);
  if (context_->refreshPages) context_->refreshPages();
}

}  // namespace qxfw::firewall
