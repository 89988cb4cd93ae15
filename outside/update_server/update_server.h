// The reference update server: answers the update question over TCP and serves a folder of
// signature files over HTTP, so users can host their own signature source.
//
// Folder layout: <folder>/<high word>/ holds the program files, <folder>/<low word>/ the
// signature files. The list "filesys.htm" of a word is <folder>/<word>/filesys.htm when that
// file exists, else it is made from the folder's regular files (their last-write times and
// sizes). Only names inside a word's folder are served; everything else is 404. "<name>.sig"
// is the Ed25519 signature of a list or file: a file of that name when the folder holds one,
// else made with the server's key; without either it is 404 (and clients refuse the update).
//
// Start binds both listeners; one thread accepts, and each connection is served by a thread of
// its own (at most max_connections at once, more are closed at once) within a deadline for its
// request and one for the whole connection, so a slow client holds up nobody else.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "avlib/update_signature.h"

namespace qxfw::update_server {

struct ServerConfig {
  std::string folder;
  std::string high;
  std::string low;
  std::string listen_address = "127.0.0.1";
  uint16_t question_port = 0;  // 0: any free port
  uint16_t http_port = 0;
  // The download area named in the answer; empty: http://<listen address>:<http port>/.
  std::string base;
  // The key that signs lists and files; null: only signature files of the folder are served.
  std::shared_ptr<const avlib::UpdateSigner> signer;
  int request_deadline_ms = 10000;      // the request (question or HTTP header) must arrive
  int connection_deadline_ms = 600000;  // the whole connection, answer included
  int max_connections = 64;
  // Test hooks: a plain answer text sent instead of the real one, or no answer at all.
  std::optional<std::string> answer_override;
  bool close_without_answer = false;
  bool answer_in_pieces = false;  // the answer in two sends 50 ms apart
};

class UpdateServer {
 public:
  explicit UpdateServer(ServerConfig config) : config_(std::move(config)) {}
  ~UpdateServer() { Stop(); }
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;

  // Binds and starts serving; false (with error) when a port cannot be bound.
  bool Start(std::string* error);
  void Stop();

  uint16_t question_port() const { return question_port_; }
  uint16_t http_port() const { return http_port_; }
  // Counters for callers that check what was asked.
  int questions() const { return questions_.load(); }
  int http_requests() const { return http_requests_.load(); }
  std::string last_question() const;

  // The list text of one version word's folder.
  static std::string MakeList(const std::string& word_folder);

 private:
  void Serve();
  struct Peer;
  void ServeConnection(int fd, bool question);
  void AnswerQuestion(Peer& peer);
  void AnswerHttp(Peer& peer);
  // The body of "<word>/<name>"; false when there is none.
  bool Body(const std::string& word, const std::string& name, std::string* body) const;

  ServerConfig config_;
  int question_fd_ = -1;
  int http_fd_ = -1;
  int stop_fd_ = -1;
  uint16_t question_port_ = 0;
  uint16_t http_port_ = 0;
  std::thread thread_;
  std::atomic<int> questions_{0};
  std::atomic<int> http_requests_{0};
  mutable std::mutex lock_;
  std::string last_question_;
  std::condition_variable idle_;
  int active_ = 0;  // connection threads still running (under lock_)
};

}  // namespace qxfw::update_server
