// The reference update server: answers the update question over TCP and serves a folder of
// signature files over HTTP, so users can host their own signature source.
//
// Folder layout: <folder>/<high word>/ holds the program files, <folder>/<low word>/ the
// signature files. The list "filesys.htm" of a word is <folder>/<word>/filesys.htm when that
// file exists, else it is made from the folder's regular files (their last-write times and
// sizes). Only names inside a word's folder are served; everything else is 404.
//
// Start binds both listeners and serves from one thread until Stop or destruction.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

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
  void AnswerQuestion(int fd);
  void AnswerHttp(int fd);

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
};

}  // namespace qxfw::update_server
