// qxav-update-server: serves a folder of signature files to the update client, signed.
//
//   qxav-update-server --make-key KEYFILE
//   qxav-update-server --folder DIR --high WORD --low WORD --key KEYFILE [--listen ADDRESS]
//                      [--question-port N] [--http-port N] [--base URL]
// --make-key writes a new private key (mode 0600, never over an existing file) and prints its
// public key, which the product is configured to trust. Serving runs until SIGINT or SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "avlib/update_exchange.h"
#include "avlib/update_signature.h"
#include "platform/file.h"
#include "update_server.h"

namespace {

constexpr char kUsage[] =
    "usage: qxav-update-server --make-key KEYFILE\n"
    "       qxav-update-server --folder DIR --high WORD --low WORD --key KEYFILE\n"
    "                          [--listen ADDRESS] [--question-port N] [--http-port N] [--base "
    "URL]\n"
    "words: 1 to 15 characters without ; ] / \\ or line breaks\n";

int MakeKey(const std::string& path) {
  std::optional<qxfw::avlib::UpdateSigner> signer = qxfw::avlib::UpdateSigner::Generate();
  const std::string pem = signer ? signer->Pem() : std::string();
  if (pem.empty()) {
    std::fprintf(stderr, "qxav-update-server: no key could be made\n");
    return 1;
  }
  qxfw::platform::UniqueFd fd(
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.Valid() || !qxfw::platform::WriteAll(fd.Get(), pem.data(), pem.size()) ||
      fsync(fd.Get()) != 0 || close(fd.Release()) != 0) {
    std::fprintf(stderr, "qxav-update-server: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const std::string key = qxfw::avlib::UpdateKeyText(signer->PublicKey());
  std::printf(
      "private key written to %s\npublic key: %s\n"
      "trust it in <system folder>/dvscan.ini:\n[update]\nkeys=%s\n",
      path.c_str(), key.c_str(), key.c_str());
  return 0;
}

bool ParsePort(const std::string& text, uint16_t* port) {
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qxfw::update_server::ServerConfig config;
  config.question_port = qxfw::avlib::kUpdatePortPrimary;
  config.http_port = 8080;
  std::string key_file;
  for (int i = 1; i < argc; i += 2) {
    std::string option = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s needs a value\n%s", option.c_str(), kUsage);
      return 2;
    }
    std::string value = argv[i + 1];
    if (option == "--make-key") {
      if (argc != 3) {
        std::fputs(kUsage, stderr);
        return 2;
      }
      return MakeKey(value);
    } else if (option == "--folder") {
      config.folder = value;
    } else if (option == "--high") {
      config.high = value;
    } else if (option == "--low") {
      config.low = value;
    } else if (option == "--listen") {
      config.listen_address = value;
    } else if (option == "--base") {
      config.base = value;
    } else if (option == "--key") {
      key_file = value;
    } else if (option == "--question-port" || option == "--http-port") {
      if (!ParsePort(value, option == "--http-port" ? &config.http_port : &config.question_port)) {
        std::fprintf(stderr, "bad port %s\n", value.c_str());
        return 2;
      }
    } else {
      std::fprintf(stderr, "unknown option %s\n%s", option.c_str(), kUsage);
      return 2;
    }
  }
  if (config.folder.empty() || key_file.empty() || !qxfw::avlib::VersionWordIsSafe(config.high) ||
      !qxfw::avlib::VersionWordIsSafe(config.low)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string pem;
  std::optional<qxfw::avlib::UpdateSigner> signer;
  if (qxfw::platform::ReadWholeFile(key_file, &pem, 64 * 1024))
    signer = qxfw::avlib::UpdateSigner::FromPem(pem);
  if (!signer) {
    std::fprintf(stderr, "qxav-update-server: %s is not a key made by --make-key\n",
                 key_file.c_str());
    return 1;
  }
  config.signer = std::make_shared<const qxfw::avlib::UpdateSigner>(std::move(*signer));
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
  std::printf("question port %u, files on port %u, public key %s\n", server.question_port(),
              server.http_port(), qxfw::avlib::UpdateKeyText(config.signer->PublicKey()).c_str());
  std::fflush(stdout);
  int signal_number = 0;
  sigwait(&stop, &signal_number);
  server.Stop();
  return 0;
}
