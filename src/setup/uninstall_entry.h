// The uninstall entry in the machine hive of the registry store, and the other keys the
// installer removes again.
#pragma once

#include <string>

namespace qxfw::setup {

constexpr char kUninstallKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{27640517-0513-4d81-A61E-228DC51680F8}";
constexpr char kDistributionUnitKey[] =
    "SOFTWARE\\Microsoft\\Code Store Database\\Distribution Units\\"
    "{27640517-0513-4D81-A61E-228DC51680F8}";
constexpr char kCompanionClassKey[] =
    "SOFTWARE\\Classes\\CLSID\\{27640517-0513-4d81-A61E-228DC51680F8}";

// Writes "DisplayName", "DisplayIcon" and "UninstallString" for the installer in systemFolder.
bool WriteUninstallEntry(const std::string& systemFolder);

// Deletes the uninstall entry and the distribution-unit key.
void DeleteUninstallEntry();

}  // namespace qxfw::setup
