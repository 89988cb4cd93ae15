// The running program's link for other processes of the same user: a second instance hands
// it its option text, and qxfwctl hands it the rule and level commands that it cannot run
// itself while the program holds the rule data file.
//
// The link is a Unix stream socket "QXFW.exe Link" in the user's private folder of named
// events (platform/event_folder.h), bound by the one running instance, so no other user can
// bind it first or connect to it. Only processes of the same user are served, and a client
// talks only to a server of its own user (SO_PEERCRED both ways). One request per connection:
//   request  u32 length (little-endian, 1..65536), then kind (1 byte) and payload
//   answer   u32 length (1..1 MiB), then status (1 byte) and text
// Kinds: 'C' a qxfwctl command (its words separated by NUL bytes), 'O' the option text of a
// second instance, 'S' show the main window, 'A' message 0x8011 (antivirus on). The server
// side reads and answers on the user-interface thread; a client waits at most a few seconds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/file.h"

namespace qxfw::shell {

inline constexpr uint32_t kMaxLinkRequest = 64u << 10;
inline constexpr uint32_t kMaxLinkAnswer = 1u << 20;

struct LinkMessage {
  char kind = 0;  // request kind, or answer status
  std::string text;
};

// The socket path of the current user's link; "" when the user has no private folder.
std::string LinkName();

class CInstanceLinkServer {
 public:
  // Binds the link at path name, whose folder must be private to this user; a socket left by a
  // program that ended is replaced. Valid() is false when a live process holds it already or
  // the folder is not private.
  explicit CInstanceLinkServer(const std::string& name = LinkName());
  // Removes the socket.
  ~CInstanceLinkServer();
  CInstanceLinkServer(const CInstanceLinkServer&) = delete;
  CInstanceLinkServer& operator=(const CInstanceLinkServer&) = delete;
  bool Valid() const { return fd_.Valid(); }
  // The listening descriptor (non-blocking), to wait on.
  int Fd() const { return fd_.Get(); }

  // Accepts one waiting connection and reads its request (waiting at most timeoutMs for it).
  // Returns the connection and request; nothing when no connection waits, the peer is another
  // user, or the request is malformed (that connection is then closed).
  struct Pending {
    platform::UniqueFd connection;
    LinkMessage request;
  };
  std::optional<Pending> Accept(int timeoutMs = 1000);
  // Sends the answer on a connection from Accept; false when it could not be written.
  static bool Answer(Pending& pending, char status, const std::string& text);

 private:
  platform::UniqueFd folder_;  // the link's folder, open as O_PATH
  std::string entry_;          // the socket's name in it
  platform::UniqueFd fd_;
};

// Sends one request to the running program and waits for its answer. Nothing when no program
// listens (after retrying for connectWaitMs, for a program that is still starting) or when
// the answer does not come within answerWaitMs.
std::optional<LinkMessage> SendToRunningInstance(const LinkMessage& request, int connectWaitMs = 0,
                                                 int answerWaitMs = 10000,
                                                 const std::string& name = LinkName());

}  // namespace qxfw::shell
