// CWhoisClient: asks a WHOIS server (TCP port 43) about an address and returns its answer;
// CWhoisLookup runs one such query on a thread of its own for the WHOIS dialog.
//
// The client sends the query text followed by " \r\n" and collects what the server sends until
// it closes the connection. Answers are held in buffers of 15000 bytes: a longer answer is cut
// there. Connecting, sending and receiving all have time-outs, so a dead or silent server ends
// the query with what arrived (usually nothing). Every call of CWhoisClient blocks on the
// network, so the user-interface thread never calls it; it uses CWhoisLookup, whose
// constructor only starts the thread. A CWhoisClient belongs to one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qxfw::monitor {

struct WhoisTimeouts {
  int connectMs = 10000;
  int receiveMs = 10000;  // longest silence between two pieces of the answer
  int totalMs = 30000;    // the whole exchange
};

class CWhoisClient {
 public:
  static constexpr uint16_t kWhoisPort = 43;
  // Size of the answer buffer and of its display copy, terminator included.
  static constexpr size_t kAnswerBufferSize = 15000;
  // Longest query text sent; the address texts asked about are far shorter.
  static constexpr size_t kMaxQueryText = 255;
  // Server asked when nobody chose one, and the server the WHOIS dialog asks about addresses.
  static constexpr const char* kDefaultServer = "whois.iana.org";
  static constexpr const char* kAddressServer = "whois.arin.net";

  // Sets the server (default kDefaultServer) and resolves its address at once.
  explicit CWhoisClient(const std::string& server = kDefaultServer, uint16_t port = kWhoisPort,
                        WhoisTimeouts timeouts = {});

  // Sets another server and resolves its IPv4 address; a failed lookup leaves the address
  // empty, and queries then answer nothing.
  void SetServer(const std::string& hostName);
  const std::string& ServerName() const { return serverName_; }
  // Dotted text of the server's first IPv4 address; empty when unresolved.
  const std::string& ServerAddress() const { return serverAddress_; }

  // Sends text + " \r\n" and returns the answer, at most kAnswerBufferSize - 1 bytes (NUL
  // bytes dropped). Empty on any failure. The text is cut at its first line break so that it
  // stays one query line. cancelFd, when valid, ends the wait early once it becomes readable.
  std::string Query(const std::string& text, int cancelFd = -1) const;

 private:
  std::string serverName_;
  std::string serverAddress_;
  uint16_t port_;
  WhoisTimeouts timeouts_;
};

// The answer as the dialog shows it: every line feed not already preceded by a carriage return
// becomes "\r\n", within kAnswerBufferSize - 1 bytes (a pair is never split).
std::string WhoisDisplayText(const std::string& answer);

// One WHOIS query on its own thread. The constructor returns at once; done(displayText) is
// called on the worker thread when the answer is there (an empty text: no information). After
// Cancel() or destruction returns, done is never called; the thread then ends by itself
// without being waited for. done must not wait for the thread that destroys the lookup (post a
// message instead).
class CWhoisLookup {
 public:
  using Done = std::function<void(const std::string& displayText)>;

  CWhoisLookup(std::string address, Done done, std::string server = CWhoisClient::kAddressServer,
               uint16_t port = CWhoisClient::kWhoisPort, WhoisTimeouts timeouts = {});
  ~CWhoisLookup();
  CWhoisLookup(const CWhoisLookup&) = delete;
  CWhoisLookup& operator=(const CWhoisLookup&) = delete;

  void Cancel();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace qxfw::monitor
