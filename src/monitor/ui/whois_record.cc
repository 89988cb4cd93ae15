#include "monitor/ui/whois_record.h"

#include <QAbstractButton>
#include <QPalette>
#include <QPlainTextEdit>

#include "controls/n_bitmap_button.h"

namespace qxfw::monitor {
namespace {
constexpr int kWidth = 460;
constexpr int kHeight = 360;
}  // namespace

CWhoisRecord::CWhoisRecord(rules_ui::TextSource texts, const QString& address, QWidget* parent,
                           std::string server, uint16_t port)
    : CSkinDialog(std::move(texts), kWidth, kHeight, 0, parent), answer_(new QPlainTextEdit(this)) {
  setObjectName(QStringLiteral("CWhoisRecord"));
  MakeTitle(kTitle, Text(175));
  answer_->setObjectName(QString::number(kAnswer));
  answer_->setReadOnly(true);
  answer_->setLineWrapMode(QPlainTextEdit::NoWrap);
  QPalette palette = answer_->palette();
  palette.setColor(QPalette::Base, QColor(0xE2, 0xEB, 0xF2));
  palette.setColor(QPalette::Text, QColor(0x20, 0x20, 0x20));
  answer_->setPalette(palette);
  answer_->setGeometry(12, kBandHeight + 10, kWidth - 24, kHeight - kBandHeight - 60);
  QFont font(QStringLiteral("Monospace"));
  font.setStyleHint(QFont::TypeWriter);
  font.setPixelSize(11);
  answer_->setFont(font);
  auto* ok = MakeButton(kOk, Text(24), QRect(kWidth - 76, kHeight - 38, 63, 26));
  connect(ok, &QAbstractButton::clicked, this, &QDialog::accept);

  // The lookup calls back on its own thread; the call is only posted here. Cancel (in the
  // destructor) guarantees no call after it returns, and a posted call dies with the dialog.
  lookup_ = std::make_unique<CWhoisLookup>(
      address.toStdString(),
      [this](const std::string& text) {
        QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        QMetaObject::invokeMethod(
            this, [this, shown] { Take(shown); }, Qt::QueuedConnection);
      },
      std::move(server), port);
}

CWhoisRecord::~CWhoisRecord() {
  if (lookup_) lookup_->Cancel();
}

QString CWhoisRecord::AnswerText() const {
  return answer_->toPlainText();
}

void CWhoisRecord::Take(const QString& text) {
  answered_ = true;
  if (text.isEmpty()) {
    Message(QMessageBox::Information, 175, 186);
    done(0);
    return;
  }
  QString display = text;
  display.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  answer_->setPlainText(display);
  emit AnswerShown();
}

}  // namespace qxfw::monitor
