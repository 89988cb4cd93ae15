// CAskDialog: the network access prompt. A borderless top-level window without a parent that
// shows the program of one process and the connection it asked for, and offers Allow and Block,
// optionally limited to the remote address and/or port. The answer settles the pending
// requests of the process it covers, becomes the program's rule, and chains the prompt for the
// first request of the process it did not cover.
//
// One prompt per process (the poll opens it for the process's first pending request); prompts
// of different processes are independent. A prompt cannot be dismissed without an answer:
// Enter, Escape and the window manager's close do nothing. It appears above other windows
// without taking the keyboard from the window the user is typing in, and has no default button.
//
// Allow and Block are drawn by the prompt in three states (1 normal, 2 hovered, 3 pressed) and
// act only when the left button is released over the button it was pressed on. After the
// answer the prompt is hidden and deleted later; a second release or a late command does
// nothing. The event log is opened for each line, not for the prompt's life: it takes one
// writer at a time, and prompts of several processes may be open together. User-interface
// thread only.
#pragma once

#include <QFont>
#include <QPoint>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controls/caption_drag.h"
#include "firewall/device_protocol.h"
#include "firewall/prompt_answer.h"
#include "firewall/request_poller.h"

namespace qxfw::store {
class CDBManager;
}
namespace qxfw::shell {
class CEventLog;
}

namespace qxfw::firewall {

// What every prompt of the program shares. Owned by the program; each prompt keeps a reference
// to it until it is deleted.
struct AskContext {
  store::CDBManager* store = nullptr;
  CPendingRequests* pending = nullptr;
  VerdictSender sendVerdict;
  std::function<QString(int id)> text;  // the user-interface string table
  bool korean = false;
  // Re-reads the program and log pages, when they have been initialised.
  std::function<void()> refreshPages;
  // Looks a process up; null: PromptProcessOf.
  std::function<PromptProcess(uint32_t processId)> lookUp;
  // Folder of the event log; "": the program's Windows folder.
  std::string eventLogFolder;
};

class CAskDialog : public QWidget {
  Q_OBJECT
 public:
  // Control identifiers.
  enum : int {
    IDD = 373,
    kAllow = 1040,
    kBlock = 1041,
    kName = 1034,
    kIcon = 1096,
    kPath = 1097,
    kRemote = 1101,
    kRequest = 1099,
    kDescription = 1103,
    kCompany = 1106,
    kOnlyPort = 1108,
    kOnlyIp = 1109,
    kPathLabel = 1111,
    kDescriptionLabel = 1112,
    kCompanyLabel = 1113,
    kRemoteLabel = 1114,
    kRequestLabel = 1115,
    kBanner = 1172,
    kProgramSection = 1173,
    kConnectionSection = 1174,
    kSeparator = 1175,
    kToggle = 1177,
    kOptionsPicture = 1178,
    kHidden = 1179,
    kCommandAllow = 1180,
    kCommandBlock = 1181,
    kTitle = 1197,
  };
  // Drawing states of Allow and Block.
  enum : int { kStateNormal = 1, kStateHover = 2, kStatePressed = 3 };
  static constexpr int kWidth = 410;
  static constexpr int kCollapsedHeight = 315;
  static constexpr int kOptionsHeight = 160;
  static constexpr int kButtonTop = 279;

  // Creates a prompt for request (a copy is kept) and shows it.
  static CAskDialog* Open(std::shared_ptr<const AskContext> context,
                          const CNETWORK_REQUEST& request);
  // The prompts shown and not yet answered, oldest first.
  static std::vector<CAskDialog*> OpenPrompts();

  CAskDialog(std::shared_ptr<const AskContext> context, const CNETWORK_REQUEST& request);
  ~CAskDialog() override;

  const CNETWORK_REQUEST& Request() const { return request_; }
  const PromptProcess& Process() const { return process_; }
  bool Expanded() const { return expanded_; }
  bool Answered() const { return answered_; }
  // True once the description, company and icon of the program have been read (they are
  // read off the user-interface thread after the prompt is shown).
  bool ProgramFactsShown() const { return factsShown_; }
  int ButtonState(int id) const;
  // The rectangle of Allow or Block in the prompt's coordinates.
  QRect ButtonRect(int id) const;
  // The child control with identifier id (null for Allow and Block, which are drawn).
  QWidget* Control(int id) const;
  QString ControlText(int id) const;

  // Commands: 1180 Allow, 1181 Block, 1177 the options area.
  void OnCommand(int id);

 signals:
  void AnsweredWith(uint32_t verdict);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();
  struct ProgramFacts {
    std::string description;
    std::string company;
    std::string icon;  // the desktop entry's icon name or file
  };
  void FillTexts();
  void ShowProgramFacts(const ProgramFacts& facts);
  void SetValue(int id, const QString& text);
  void SetExpanded(bool expanded);
  void CentreOnScreen();
  void SetButtonState(int id, int state);
  int ButtonAt(const QPoint& pos) const;
  void OnAllow();
  void OnBlock();
  void Answer(uint32_t verdict);
  void SaveChanges(uint32_t verdict);
  QString Text(int id) const;
  PromptProcess LookUp() const;
  void WriteEvent(const std::function<void(shell::CEventLog&)>& write) const;

  std::shared_ptr<const AskContext> context_;
  CNETWORK_REQUEST request_;
  PromptProcess process_;
  std::string fileName_;  // "n/a" when unknown
  QFont font_;
  QFont boldFont_;
  int allowState_ = kStateNormal;
  int blockState_ = kStateNormal;
  bool expanded_ = false;
  bool answered_ = false;
  bool factsShown_ = false;
  controls::CCaptionDrag drag_{32};
};

// "%s (%d)" with the services database's name of port (host order), or the number alone.
QString PortText(uint16_t port);
// The remote end of a request: "a.b.c.d:<port text>".
QString RemoteText(const CNETWORK_REQUEST& request);

}  // namespace qxfw::firewall
