// Facts of the running Linux system behind the read-only keys of the registry store: the
// default web browser's command line and the programs of the services the firewall trusts.
//
// Where the facts come from (each lookup can be pointed elsewhere through the environment):
//   default browser  `xdg-settings get default-web-browser` ($QXFW_XDG_SETTINGS names the
//                    program; "" or a missing program skips it), else the
//                    "x-scheme-handler/http" entry of the mimeapps.list files in the XDG
//                    config and data folders, then the desktop entry of that id in the XDG
//                    application folders ($XDG_DATA_HOME, $XDG_DATA_DIRS); else
//                    /usr/bin/x-www-browser ($QXFW_WWW_BROWSER names another link).
//   service units    unit files in $QXFW_SYSTEMD_DIR (a ":"-separated list of folders), else
//                    /etc/systemd/system, /run/systemd/system, /lib/systemd/system and
//                    /usr/lib/systemd/system, first folder holding the unit wins.
// Every call looks again (nothing is cached). Thread-safe as long as nobody changes the
// environment concurrently; the browser lookup may run a short-lived child process.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qxfw::platform {

// The default browser's command line, its program as an absolute path (quoted when it holds
// a blank) followed by the arguments of the desktop entry without field codes; "" when no
// browser is known.
std::string DefaultBrowserCommand();

// The program that the systemd unit mapped to a Windows service name runs: "Samss" (the
// local account service: accounts-daemon, else systemd-logind) and "RpcSs" (the message
// bus: dbus, else dbus-broker). Quoted when it holds a blank; "" for other names or when no
// unit has an ExecStart.
std::string ServiceImagePath(std::string_view service_name);

// The folders searched for unit files, in order.
std::vector<std::string> SystemdUnitFolders();

// The program of the unit's effective ExecStart line ("" when absent): the first non-empty
// line after the last empty "ExecStart=", its prefix characters ("@", "-", ":", "+", "!")
// removed, cut at the first blank unless quoted.
std::string UnitExecStartProgram(std::string_view unit_text);

// The Exec line of a desktop entry with the field codes (%f, %u, %U, ...) removed and "%%"
// turned into "%", blanks collapsed; "" when the entry has none.
std::string DesktopEntryCommand(std::string_view entry_text);

// The file of a desktop entry id ("firefox.desktop") in the XDG application folders; "" when
// none exists.
std::string FindDesktopEntry(std::string_view desktop_id);

}  // namespace qxfw::platform
