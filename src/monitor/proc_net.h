// Reader of the kernel's text socket tables /proc/net/tcp and /proc/net/udp: the fallback
// road of the connection table when the sock_diag netlink family cannot be used.
//
// Used by CPortList. Stateless; safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "monitor/sock_diag.h"

namespace qxfw::monitor {

// Parses the text of /proc/net/tcp or /proc/net/udp (IPv4 only) and appends one row per socket
// line. The heading line and any line that does not carry well-formed address, state and inode
// fields are skipped, so a damaged table loses only the damaged lines.
void ParseProcNetTable(std::string_view text, std::vector<InetSocketRow>* rows);

// Reads and parses one table file; false when the file cannot be read.
bool ReadProcNetTable(const std::string& path, std::vector<InetSocketRow>* rows);

}  // namespace qxfw::monitor
