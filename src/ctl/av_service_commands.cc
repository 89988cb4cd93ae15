#include "ctl/av_service_commands.h"

#include <unistd.h>

#include <cstdlib>

#include "avlib/quarantine.h"
#include "avlib/qxav.h"
#include "ctl/ctl_support.h"
#include "ctl/qxav_library.h"
#include "platform/folders.h"

namespace qxfw::ctl {
namespace {

constexpr char kHelp[] = R"(
Antivirus services (libqxav.so from the antivirus folder $QXFW_APPDATA/QOLTEX/AntiVirus):
  quarantine list                      the caller's quarantined files: file, source, virus, bytes
  quarantine restore FILE              put FILE (a name from the list or its path) back
  quarantine delete FILE               delete a quarantined file for good
  update [--check] [--basic] [--server HOST[:PORT]] [--folder DIR]
                                       update the engine folder (default: the antivirus folder)
                                       from the update server (dvscan.ini in the system folder)
)";

std::string QuarantineFile(const avlib::Quarantine& quarantine, const std::string& given) {
  if (given.find('/') != std::string::npos) return given;
  return quarantine.Folder() + "/" + given;
}

int RunQuarantine(const std::vector<std::string>& words, std::ostream& out) {
  Arguments args(words, {}, {});
  const char* usage = "usage: qxfwctl quarantine list | restore FILE | delete FILE";
  args.Expect(1, 2, usage);
  const std::string& action = args.Positional()[0];
  avlib::Quarantine quarantine;
  quarantine.DefineBase(platform::SystemFolder());
  if (action == "list") {
    args.Expect(1, 1, usage);
    for (const avlib::QuarantineEntry& e : quarantine.List()) {
      size_t slash = e.file.rfind('/');
      out << e.file.substr(slash + 1) << "\t" << e.source << "\t" << e.note << "\t"
          << e.stored_bytes << "\n";
    }
    return 0;
  }
  args.Expect(2, 2, usage);
  const std::string file = QuarantineFile(quarantine, args.Positional()[1]);
  if (action == "restore") {
    QxavLibrary library(platform::AntiVirusFolder());
    library.Require(reinterpret_cast<const void*>(library.DefineQuarantine), "DefineQuarantine");
    library.Require(reinterpret_cast<const void*>(library.RestoreFile), "RestoreFile");
    const std::string base = platform::SystemFolder();
    if (library.DefineQuarantine(base.c_str()) != 1)
      throw CommandFailed("the system folder " + base + " cannot be the quarantine base");
    if (library.RestoreFile(file.c_str()) != 1)
      throw CommandFailed("cannot restore " + file + " (see the debug output)");
    out << "restored " << file << "\n";
    return 0;
  }
  if (action == "delete") {
    std::string name = file.substr(file.rfind('/') + 1);
    if (file != quarantine.Folder() + "/" + name)
      throw UsageError("only files of your quarantine folder " + quarantine.Folder() +
                       " can be deleted");
    if (!quarantine.Remove(name)) throw CommandFailed("cannot delete " + file);
    out << "deleted " << file << "\n";
    return 0;
  }
  throw UsageError(usage);
}

int RunUpdate(const std::vector<std::string>& words, std::ostream& out) {
  Arguments args(words, {"--server", "--folder"}, {"--check", "--basic"});
  args.Expect(0, 0,
              "usage: qxfwctl update [--check] [--basic] [--server HOST[:PORT]] [--folder DIR]");
  if (auto server = args.Value("--server")) setenv("QXAV_UPDATE_SERVER", server->c_str(), 1);
  const std::string folder = args.Value("--folder").value_or(platform::AntiVirusFolder());
  QxavLibrary library(platform::AntiVirusFolder());
  const bool basic = args.Flag("--basic");
  auto update = basic ? library.FileUpdateBasic : library.FileUpdate;
  library.Require(reinterpret_cast<const void*>(update), basic ? "FileUpdateBasic" : "FileUpdate");
  const int32_t result = update(folder.c_str(), args.Flag("--check") ? 1 : 0);
  switch (result) {
    case 0:
      out << "signatures are up to date\n";
      return 0;
    case -1:
      throw CommandFailed("no connection to the update server");
    case -2:
      throw CommandFailed("the update server closed without answering");
    case -3:
      throw CommandFailed("the update failed (a download or list failed; see the debug output)");
    case -4:
      out << "an update is available\n";
      return 0;
    default:
      out << result << " files updated in " << folder << "\n";
      return 0;
  }
}

}  // namespace

int RunAvServiceCommand(const std::string& command, const std::vector<std::string>& words,
                        std::ostream& out) {
  if (command == "quarantine") return RunQuarantine(words, out);
  if (command == "update") return RunUpdate(words, out);
  return -1;
}

const char* AvServiceHelp() {
  return kHelp;
}

}  // namespace qxfw::ctl
