#include "TidewellCore/UserDataFolder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include "TidewellCore/Branding.h"

namespace tidewell::UserDataFolder {
namespace {

// An environment value usable as a folder: set, non-empty and absolute. Relative values are
// ignored, as the XDG rules ask, so a stray "XDG_DATA_HOME=data" never makes the folder depend
// on the working directory.
std::optional<std::filesystem::path> absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::filesystem::path(value).lexically_normal();
}

}  // namespace

std::filesystem::path homeDirectory() {
  if (auto home = absoluteFromEnvironment("HOME")) return *home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir && result->pw_dir[0] == '/') {
    return std::filesystem::path(result->pw_dir).lexically_normal();
  }
  return {};
}

std::vector<std::filesystem::path> applicationSupportDirectories() {
  if (auto dataHome = absoluteFromEnvironment("XDG_DATA_HOME")) return {*dataHome};
  std::filesystem::path home = homeDirectory();
  if (home.empty()) return {};
  return {home / ".local" / "share"};
}

std::filesystem::path applicationSupportDirectory() {
  auto candidates = applicationSupportDirectories();
  if (!candidates.empty()) return candidates.front();
  std::filesystem::path home = homeDirectory();
  if (home.empty()) home = "/";
  return home / "Library" / "Application Support";
}

std::filesystem::path productDirectory() {
  return applicationSupportDirectory() / std::string(Branding::dataDirectoryName);
}

}  // namespace tidewell::UserDataFolder
