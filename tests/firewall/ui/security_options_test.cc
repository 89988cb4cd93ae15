// The security level dialog over a real rule data file: the slider's place, the texts of each
// level, the confirmation before turning the firewall off, what OK stores, and what Cancel and
// Escape leave alone.
#include "firewall/ui/security_options.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <memory>

#include "controls/mac_slider_ctrl.h"
#include "firewall/security_level.h"
#include "store/db_manager.h"
#include "store/string_table.h"
#include "test_support/temp_dir.h"

using namespace qxfw::firewall;
using qxfw::store::CDBManager;

namespace {

QString English(int id) {
  return QString::fromUtf8(qxfw::store::kEnglishStrings[id]);
}

QString LabelText(CSecurityOptions& dialog, int id) {
  auto* label = qobject_cast<QLabel*>(dialog.Control(id));
  return label != nullptr ? label->text() : QString();
}

// Answers the next message box with button; remembers its text.
void AnswerNextMessageBox(QMessageBox::StandardButton button, QString* text) {
  QTimer::singleShot(0, [button, text] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) {
      AnswerNextMessageBox(button, text);  // not shown yet
      return;
    }
    *text = box->text();
    box->button(button)->click();
  });
}

void Press(CSecurityOptions& dialog, int id) {
  QTest::mouseClick(static_cast<QWidget*>(dialog.Control(id)), Qt::LeftButton);
}

}  // namespace

class SecurityOptionsTest : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<qxfw::test_support::TempDir> dir_;
  std::unique_ptr<CDBManager> db_;
  int level_ = kLevelMedium;

  std::unique_ptr<CSecurityOptions> Make() {
    auto dialog = std::make_unique<CSecurityOptions>(*db_, level_, English, std::string());
    dialog->show();
    return dialog;
  }

 private slots:
  void init() {
    dir_ = std::make_unique<qxfw::test_support::TempDir>();
    db_ = std::make_unique<CDBManager>(dir_->path());
    QVERIFY(db_->IsRuleFileOpen());
    QVERIFY(db_->SetSecurityLevel(3) != 0);
    level_ = kLevelMedium;
  }
  void cleanup() {
    db_.reset();
    dir_.reset();
  }

  void opensOnTheRunningLevel() {
    auto dialog = Make();
    QCOMPARE(dialog->Slider()->value(), 2);
    QCOMPARE(dialog->Slider()->minimum(), 1);
    QCOMPARE(dialog->Slider()->maximum(), 4);
    QCOMPARE(LabelText(*dialog, CSecurityOptions::kLevelName), QStringLiteral("Medium"));
    QCOMPARE(LabelText(*dialog, CSecurityOptions::kDescription), English(152));
    QCOMPARE(LabelText(*dialog, CSecurityOptions::kTitle), QStringLiteral("Firewall Setting"));
    QCOMPARE(dialog->windowTitle(), English(149));
    // High is at the top of the slider.
    QVERIFY(dialog->Slider()->KnobCentre(1).y() < dialog->Slider()->KnobCentre(4).y());
    dialog->Slider()->setValue(1);
    QCOMPARE(LabelText(*dialog, CSecurityOptions::kLevelName), QStringLiteral("High"));
    QCOMPARE(LabelText(*dialog, CSecurityOptions::kDescription), English(153));
    dialog->Slider()->setValue(3);
    QCOMPARE(LabelText(*dialog, CSecurityOptions::kLevelName), QStringLiteral("Low"));
    dialog->Slider()->setValue(4);
    QCOMPARE(LabelText(*dialog, CSecurityOptions::kLevelName), QStringLiteral("Off"));
    QCOMPARE(LabelText(*dialog, CSecurityOptions::kDescription), English(150));
    // A level of no known kind shows Medium's texts.
    QCOMPARE(CSecurityOptions::NameString(0), 156);
    QCOMPARE(CSecurityOptions::DescriptionString(7), 152);
  }

  void okStoresTheLevelAndItSurvivesARestart() {
    auto dialog = Make();
    dialog->Slider()->setValue(1);
    Press(*dialog, CSecurityOptions::kOk);
    QCOMPARE(dialog->result(), int{QDialog::Accepted});
    QCOMPARE(level_, int{kLevelHigh});
    db_.reset();
    db_ = std::make_unique<CDBManager>(dir_->path());
    QCOMPARE(LoadSecurityLevel(*db_), int{kLevelHigh});
  }

  void offAsksFirstAndNoKeepsTheDialog() {
    auto dialog = Make();
    dialog->Slider()->setValue(4);
    QString asked;
    AnswerNextMessageBox(QMessageBox::No, &asked);
    Press(*dialog, CSecurityOptions::kOk);
    QCOMPARE(asked, English(158));
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->Slider()->value(), 4);
    QCOMPARE(level_, int{kLevelMedium});
    QCOMPARE(db_->GetSecurityLevel(), 3u);

    AnswerNextMessageBox(QMessageBox::Yes, &asked);
    Press(*dialog, CSecurityOptions::kOk);
    QVERIFY(!dialog->isVisible());
    QCOMPARE(level_, int{kLevelOff});
    db_.reset();
    db_ = std::make_unique<CDBManager>(dir_->path());
    QCOMPARE(db_->GetSecurityLevel(), 1u);
  }

  void cancelCloseAndEscapeChangeNothing() {
    for (int way = 0; way < 3; ++way) {
      auto dialog = Make();
      dialog->Slider()->setValue(1);
      if (way == 0) Press(*dialog, CSecurityOptions::kCancel);
      if (way == 1) Press(*dialog, CSecurityOptions::kClose);
      if (way == 2) QTest::keyClick(dialog.get(), Qt::Key_Escape);
      QVERIFY2(!dialog->isVisible(), qPrintable(QString::number(way)));
      QCOMPARE(dialog->result(), int{QDialog::Rejected});
      QCOMPARE(level_, int{kLevelMedium});
      QCOMPARE(db_->GetSecurityLevel(), 3u);
    }
  }

  void aLevelThatCannotBeStoredIsAppliedAndReported() {
    // A store without files: every write fails.
    CDBManager noFiles{std::string()};
    CSecurityOptions dialog(noFiles, level_, English, std::string());
    dialog.show();
    dialog.Slider()->setValue(1);
    QString told;
    AnswerNextMessageBox(QMessageBox::Ok, &told);
    Press(dialog, CSecurityOptions::kOk);
    QCOMPARE(told, English(131));
    QCOMPARE(level_, int{kLevelHigh});
    QVERIFY(!dialog.isVisible());
  }
};

int RunSecurityOptionsTests(int argc, char** argv) {
  SecurityOptionsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "security_options_test.moc"
