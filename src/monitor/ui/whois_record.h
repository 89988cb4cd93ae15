// CWhoisRecord: the modal dialog "Domain address information" that shows what a WHOIS server
// answers about a remote address. The query runs on a thread of its own (CWhoisLookup) and its
// answer arrives by a queued call; closing the dialog first cancels the query, so no thread ever
// writes into a dialog that has gone. An empty answer says so (text 186) and ends the dialog.
// User-interface thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "monitor/whois_client.h"
#include "rules_ui/skin_dialog.h"

class QPlainTextEdit;

namespace qxfw::monitor {

class CWhoisRecord : public rules_ui::CSkinDialog {
  Q_OBJECT
 public:
  enum : int { kAnswer = 1089, kTitle = 1198 };

  // Starts the query of address at once; server and port name the WHOIS server asked.
  CWhoisRecord(rules_ui::TextSource texts, const QString& address, QWidget* parent = nullptr,
               std::string server = CWhoisClient::kAddressServer,
               uint16_t port = CWhoisClient::kWhoisPort);
  ~CWhoisRecord() override;

  QString AnswerText() const;
  bool Answered() const { return answered_; }

 signals:
  void AnswerShown();

 private:
  void Take(const QString& text);

  QPlainTextEdit* answer_;
  bool answered_ = false;
  std::unique_ptr<CWhoisLookup> lookup_;
};

}  // namespace qxfw::monitor
