// qxav-update-server: serves a folder of signature files to the update client.
//
//   qxav-update-server --folder DIR --high WORD --low WORD [--listen ADDRESS]
//                      [--question-port N] [--http-port N] [--base URL]
// Runs until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "avlib/update_exchange.h"
#include "update_server.h"

int main(int argc, char** argv) {
  qxfw::update_server::ServerConfig config;
  config.question_port = qxfw::avlib::kUpdatePortPrimary;
  config.http_port = 8080;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    std::string value = argv[i + 1];
    if (option == "--folder")
      config.folder = value;
    else if (option == "--high")
      config.high = value;
    else if (option == "--low")
      config.low = value;
    else if (option == "--listen")
      config.listen_address = value;
    else if (option == "--base")
      config.base = value;
    else if (option == "--question-port")
      config.question_port = static_cast<uint16_t>(std::atoi(value.c_str()));
    else if (option == "--http-port")
      config.http_port = static_cast<uint16_t>(std::atoi(value.c_str()));
    else {
      std::fprintf(stderr, "unknown option %s\n", option.c_str());
      return 2;
    }
  }
  if (config.folder.empty() || !qxfw::avlib::VersionWordIsSafe(config.high) ||
      !qxfw::avlib::VersionWordIsSafe(config.low)) {
    std::fprintf(
        stderr,
        "usage: qxav-update-server --folder DIR --high WORD --low WORD [--listen ADDRESS]\n"
        "       [--question-port N] [--http-port N] [--base URL]\n"
        "words: 1 to 15 characters without ; ] / \\ or line breaks\n");
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  qxfw::update_server::UpdateServer server(config);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "qxav-update-server: %s\n", error.c_str());
    return 1;
  }
  std::printf("question port %u, files on port %u\n", server.question_port(), server.http_port());
  std::fflush(stdout);
  int signal_number = 0;
  sigwait(&stop, &signal_number);
  server.Stop();
  return 0;
}
