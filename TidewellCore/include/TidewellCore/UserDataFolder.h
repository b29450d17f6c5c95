#pragma once
// The one resolver of the per-user data folder ("Application Support").
//
// On Linux that folder is $XDG_DATA_HOME when it is set to an absolute path, otherwise
// $HOME/.local/share. Everything follows the environment at the moment of the call, so tests
// isolate themselves by setting HOME or XDG_DATA_HOME.

#include <filesystem>
#include <vector>

namespace tidewell::UserDataFolder {

// The user's home folder: $HOME when absolute, else the password database's entry.
// Empty when neither gives an absolute path.
std::filesystem::path homeDirectory();

// Candidate per-user data folders, best first. Empty only when no home can be determined.
std::vector<std::filesystem::path> applicationSupportDirectories();

// The first candidate; when there is none, home + "Library/Application Support" (and "/" stands
// in for a home that cannot be found, so the result is always absolute).
std::filesystem::path applicationSupportDirectory();

// applicationSupportDirectory() + Branding::dataDirectoryName: the configuration file, the
// service's files and the installed helper programs live here.
std::filesystem::path productDirectory();

}  // namespace tidewell::UserDataFolder
