// Lays every owner-drawn control out in its states and saves one PNG per language:
//   controls_gallery <output folder> <Firewall.ini>
// Texts come from the string table through the real translation reader, so the Korean sheet
// shows the shipped translation. Run offscreen (QT_QPA_PLATFORM=offscreen).
#include <QApplication>
#include <QDir>
#include <QEnterEvent>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <memory>

#include "controls/chk_box.h"
#include "controls/color_static.h"
#include "controls/edit_box.h"
#include "controls/mac_slider_ctrl.h"
#include "controls/mf_traffic_button.h"
#include "controls/n_bitmap_button.h"
#include "controls/picture_ex.h"
#include "controls/qx_grp_btn.h"
#include "controls/qx_list_ctrl.h"
#include "controls/radio_btn.h"
#include "controls/skin_image.h"
#include "store/preferences.h"

using namespace qxfw::controls;

namespace {

class Sheet {
 public:
  explicit Sheet(const qxfw::store::CPreferences& prefs) : prefs_(prefs) {
    root_.setObjectName("gallery");
    root_.setAutoFillBackground(true);
    QPalette colors = root_.palette();
    colors.setColor(QPalette::Window, Qt::white);
    root_.setPalette(colors);
    grid_ = new QGridLayout(&root_);
    grid_->setHorizontalSpacing(14);
    grid_->setVerticalSpacing(8);
  }

  QString Text(int index) const { return QString::fromUtf8(prefs_.GetText(index)); }

  void Label(int row, const QString& what) {
    auto* label = new QLabel(what);
    label->setStyleSheet("color: #6b7785;");
    grid_->addWidget(label, row, 0, Qt::AlignRight | Qt::AlignVCenter);
  }
  void Put(QWidget* widget, int row, int column, int span = 1) {
    grid_->addWidget(widget, row, column, 1, span, Qt::AlignLeft | Qt::AlignVCenter);
  }

  void Build() {
    int row = 0;
    Label(row, "CNBitmapButton");
    const char* states[] = {"normal", "hover", "pressed", "focus", "disabled"};
    for (int i = 0; i < 5; ++i) {
      auto* button = new CNBitmapButton;
      button->setText(i % 2 ? Text(25) : Text(24));
      button->setFixedSize(button->sizeHint());
      button->setToolTip(states[i]);
      buttons_[i] = button;
      Put(button, row, i + 1);
    }
    ++row;
    Label(row, "close 1194");
    for (int i = 0; i < 5; ++i) {
      auto* close = new CNBitmapButton(nullptr, CNBitmapButton::Skin::kClose);
      close->setFixedSize(17, 17);
      closes_[i] = close;
      Put(close, row, i + 1);
    }
    ++row;
    Label(row, "CQXGrpBtn");
    for (int i = 0; i < 4; ++i) {
      auto* group = new CQXGrpBtn;
      group->setText(Text(1 + i));
      group->setFixedSize(group->sizeHint());
      groups_[i] = group;
      Put(group, row, i + 1);
    }
    ++row;
    Label(row, "CChkBox");
    auto* check = new CChkBox(Text(103));
    auto* checked = new CChkBox(Text(104));
    checked->setChecked(true);
    auto* checkOff = new CChkBox(Text(114));
    checkOff->setChecked(true);
    checkOff->setEnabled(false);
    auto* checkDark = new CChkBox(Text(118));
    checkDark->SetBkColor(QColor(0x34, 0x34, 0x34));
    checkDark->SetTextColor(Qt::white);
    checkDark->setChecked(true);
    Put(check, row, 1, 2);
    Put(checked, row, 3, 2);
    ++row;
    Put(checkOff, row, 1, 2);
    Put(checkDark, row, 3, 3);
    ++row;
    Label(row, "CRadioBtn");
    auto* radios = new QWidget;
    auto* radioRow = new QHBoxLayout(radios);
    radioRow->setContentsMargins(0, 0, 0, 0);
    auto* allow = new CRadioBtn(Text(10));
    allow->setChecked(true);
    auto* block = new CRadioBtn(Text(11));
    auto* advanced = new CRadioBtn(Text(206));
    auto* disabled = new CRadioBtn(Text(12));
    disabled->setEnabled(false);
    for (auto* radio : {allow, block, advanced, disabled}) radioRow->addWidget(radio);
    Put(radios, row, 1, 5);
    ++row;
    Label(row, "CColorStatic");
    auto* title = new CColorStatic(Text(204));
    title->SetBkColor(QColor(0x2f, 0x5f, 0x93));
    title->SetTextColor(Qt::white);
    title->setMargin(4);
    auto* level = new CColorStatic(Text(152));
    level->SetTextColor(QColor(0x34, 0x34, 0x34));
    Put(title, row, 1, 2);
    Put(level, row, 3, 3);
    ++row;
    Label(row, "CEditBox");
    auto* edit = new CEditBox;
    edit->setText("/usr/bin/curl");
    edit->setFixedWidth(170);
    auto* readOnly = new CEditBox;
    readOnly->setText(Text(52));
    readOnly->setReadOnly(true);
    readOnly->SetBkColor(QColor(0xf2, 0xf5, 0xf8));
    readOnly->setFixedWidth(200);
    auto* disabledEdit = new CEditBox;
    disabledEdit->setText(Text(84));
    disabledEdit->setEnabled(false);
    disabledEdit->setFixedWidth(150);
    Put(edit, row, 1, 2);
    Put(readOnly, row, 3, 2);
    Put(disabledEdit, row, 5);
    ++row;
    Label(row, "CQXListCtrl");
    auto* list = new CQXListCtrl;
    list->setFixedSize(470, 132);
    list->InsertColumn(Text(16), 100);
    list->InsertColumn(Text(17), 250);
    list->InsertColumn(Text(20), 70);
    const char* paths[] = {"/usr/bin/curl", "/usr/lib/firefox-esr/firefox-esr", "/usr/bin/ssh",
                           "/opt/tools/a/very/long/folder/name/of/a/program/agent",
                           "/usr/bin/wget"};
    const int actions[] = {10, 10, 11, 12, 10};
    for (int i = 0; i < 5; ++i) {
      QString path = paths[i];
      int at = list->InsertItem(-1, path.section('/', -1), QIcon(SkinPath("check_on.svg")));
      list->SetItemText(at, 1, path);
      list->SetItemText(at, 2, Text(actions[i]));
    }
    list->SetRowColor(1, Qt::black, QColor(0x8a, 0xfe, 0x2f));
    list->SetRowColor(2, Qt::black, QColor(0xfc, 0xfe, 0x20));
    list->SetRowColor(4, Qt::white, QColor(0xf5, 0x0e, 0x0e));
    list->SelectRow(3);
    list->SetSortMark(0, true);
    Put(list, row, 1, 5);
    ++row;
    Label(row, "CMacSliderCtrl");
    auto* sliders = new QWidget;
    auto* sliderRow = new QHBoxLayout(sliders);
    sliderRow->setContentsMargins(0, 0, 0, 0);
    auto* vertical = new CMacSliderCtrl(Qt::Vertical);
    vertical->setRange(1, 4);
    vertical->SetInverted(true);
    vertical->setValue(2);
    vertical->setFixedSize(30, 100);
    auto* horizontal = new CMacSliderCtrl(Qt::Horizontal);
    horizontal->setRange(0, 8);
    horizontal->setValue(5);
    horizontal->setFixedSize(180, 30);
    auto* horizontalOff = new CMacSliderCtrl(Qt::Horizontal);
    horizontalOff->setRange(0, 4);
    horizontalOff->setValue(1);
    horizontalOff->setEnabled(false);
    horizontalOff->setFixedSize(110, 30);
    auto* levels =
        new QLabel(Text(154) + " / " + Text(155) + " / " + Text(156) + " / " + Text(157));
    sliderRow->addWidget(vertical);
    sliderRow->addWidget(levels);
    sliderRow->addWidget(horizontal);
    sliderRow->addWidget(horizontalOff);
    sliderRow->addStretch();
    Put(sliders, row, 1, 5);
    ++row;
    Label(row, "CPictureEx");
    auto* pictures = new QWidget;
    auto* pictureRow = new QHBoxLayout(pictures);
    pictureRow->setContentsMargins(0, 0, 0, 0);
    for (int frame = 0; frame < 4; ++frame) {
      auto* picture = new CPictureEx;
      picture->LoadStrip(SkinPath("scan_strip.svg"), 8, 80);
      picture->setFixedSize(36, 36);
      pictures_.push_back(picture);
      pictureRow->addWidget(picture);
    }
    pictureRow->addWidget(new QLabel(Text(136)));
    Label(row, "CPictureEx");
    Put(pictures, row, 1, 2);
    auto* traffic = new MFTrafficButton([this](int) { return NextTraffic(); });
    traffic->setFixedSize(268, 70);
    traffic->SetIntervals(1000000, 1000000);
    traffic->SelectInterface(0);
    traffic_ = traffic;
    Put(traffic, row, 3, 3);
  }

  // Puts the controls into the states the sheet shows, then grabs it.
  QImage Grab() {
    root_.show();
    if (!QTest::qWaitForWindowExposed(&root_)) return {};
    Hover(buttons_[1]);
    buttons_[2]->setDown(true);
    buttons_[3]->setFocus();
    buttons_[4]->setEnabled(false);
    Hover(closes_[1]);
    closes_[2]->setDown(true);
    closes_[4]->setEnabled(false);
    Hover(groups_[1]);
    groups_[2]->setDown(true);
    groups_[3]->setEnabled(false);
    // Started one after another, the animations stand on different frames.
    for (CPictureEx* picture : pictures_) {
      picture->Draw();
      QTest::qWait(170);
    }
    for (int i = 0; i < 120; ++i) traffic_->Sample();
    QApplication::processEvents();
    return root_.grab().toImage();
  }

 private:
  static void Hover(QWidget* widget) {
    QPointF centre = QRectF(widget->rect()).center();
    QEnterEvent enter(centre, centre, widget->mapToGlobal(centre));
    QApplication::sendEvent(widget, &enter);
  }
  double NextTraffic() {
    ++tick_;
    return 3000 + 2500 * ((tick_ * 37) % 17) + (tick_ % 29 == 0 ? 30000 : 0);
  }

  const qxfw::store::CPreferences& prefs_;
  QWidget root_;
  QGridLayout* grid_;
  CNBitmapButton* buttons_[5] = {};
  CNBitmapButton* closes_[5] = {};
  CQXGrpBtn* groups_[4] = {};
  std::vector<CPictureEx*> pictures_;
  MFTrafficButton* traffic_ = nullptr;
  int tick_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: controls_gallery <output folder> <Firewall.ini>\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QString output = QString::fromLocal8Bit(argv[1]);
  if (!QDir().mkpath(output)) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  QTemporaryDir data;
  if (!data.isValid() ||
      !QFile::copy(QString::fromLocal8Bit(argv[2]), data.filePath("Firewall.ini"))) {
    std::fprintf(stderr, "cannot stage %s\n", argv[2]);
    return 1;
  }
  struct Language {
    int id;
    const char* name;
    const char* font;
  };
  for (Language language :
       {Language{1033, "en", "DejaVu Sans"}, Language{1042, "kr", "NanumGothic"}}) {
    QFile opts(data.filePath("UserOpts.ini"));
    if (!opts.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        opts.write(QString("[Firewall]\nLanguage=%1\n").arg(language.id).toUtf8()) < 0) {
      return 1;
    }
    opts.close();
    qxfw::store::CPreferences prefs(data.path().toStdString());
    QFont font(language.font);
    font.setPixelSize(12);
    QApplication::setFont(font);
    Sheet sheet(prefs);
    sheet.Build();
    QString file = QDir(output).filePath(QString("controls_%1.png").arg(language.name));
    if (!sheet.Grab().save(file)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
      return 1;
    }
    std::printf("%s\n", qPrintable(file));
  }
  return 0;
}
