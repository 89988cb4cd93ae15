// The page cabinet: the MSZIP cabinet of HTML pages and images that is linked into the
// program, and its extraction into the page folder at start.
//
// The cabinet is read straight from the program's memory through libmspack's system hooks;
// no copy is written to disk. Member names use "\" as separator; a name that is absolute or
// has a ".." part is refused and fails the extraction, so a damaged or planted cabinet cannot
// write outside the page folder. Each file gets the cabinet's (local) date and time, and loses
// its write bits when the cabinet marks it read-only. Runs once on the user-interface thread.
#pragma once

#include <cstddef>
#include <string>

namespace qxfw::shell {

class CPageCabinet {
 public:
  // The cabinet linked into the program (linked_pages.cc, library qxfw_pages).
  static const unsigned char* LinkedData();
  static size_t LinkedSize();

  // Extracts every member of the cabinet at data/size below folder (which ends in "/"),
  // creating the folders of the members' relative paths. False on any failure; files written
  // before the failure stay.
  static bool Extract(const void* data, size_t size, const std::string& folder);

  // A relative member name with "\" turned into "/", or "" when the name is empty, absolute
  // or has a ".." part.
  static std::string SafeMemberPath(const std::string& name);
};

// Extracts the cabinet into the page folder, <appdata>/QOLTEX/Firewall/, and returns that
// folder (ending in "/"). When that fails, a new private folder made with mkdtemp under the
// temporary folder is used instead; "" when both fail.
std::string ExtractCabs(const void* data, size_t size, const std::string& preferred);
// The linked cabinet into the data folder (library qxfw_pages).
std::string ExtractCabs();

}  // namespace qxfw::shell
