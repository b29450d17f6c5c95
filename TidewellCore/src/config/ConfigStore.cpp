#include "TidewellCore/ConfigStore.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "TidewellCore/Branding.h"
#include "TidewellCore/ConfigJSON.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell {

ConfigStoreError::ConfigStoreError(Kind kind, std::filesystem::path url, ValidationResult result)
    : kind_(kind), url_(std::move(url)), result_(std::move(result)) {
  if (kind_ == Kind::missingConfig)
    description_ = "No " + std::string(Branding::productName) + " config exists at " +
                   url_.string() + ".";
  else
    description_ = "Config contains " + std::to_string(result_.errors.size()) +
                   " validation error(s).";
}

ConfigStoreError ConfigStoreError::missingConfig(std::filesystem::path url) {
  return ConfigStoreError(Kind::missingConfig, std::move(url), {});
}

ConfigStoreError ConfigStoreError::invalidConfig(ValidationResult result) {
  return ConfigStoreError(Kind::invalidConfig, {}, std::move(result));
}

ConfigSnapshot ConfigMigration::migrate(ConfigSnapshot snapshot) {
  if (snapshot.schemaVersion > 1) {
    snapshot.schemaVersion = TidewellCore::schemaVersion;
    return snapshot;
  }
  DeviceConfig* target = nullptr;
  if (const auto& selected = snapshot.ui.selectedDeviceID) {
    for (auto& d : snapshot.devices) {
      if (d.id == *selected) {
        target = &d;
        break;
      }
    }
  }
  if (target == nullptr && !snapshot.devices.empty()) target = &snapshot.devices.front();
  if (target != nullptr) target->uid = std::string(TidewellCore::passThruDeviceUID);
  snapshot.schemaVersion = TidewellCore::schemaVersion;
  return snapshot;
}

ConfigStore::ConfigStore(std::filesystem::path url_, std::shared_ptr<FileManager> fileManager_,
                         ConfigValidator validator_)
    : url(std::move(url_)),
      fileManager(fileManager_ ? std::move(fileManager_) : FileManager::defaultManager()),
      validator(validator_) {}

std::filesystem::path ConfigStore::defaultURL(const std::shared_ptr<FileManager>& fm) {
  FileManager& files = fm ? *fm : *FileManager::defaultManager();
  std::filesystem::path base;
  auto candidates = files.applicationSupportDirectories();
  if (!candidates.empty()) {
    base = candidates.front();
  } else {
    std::filesystem::path home = files.homeDirectory();
    if (home.empty()) home = "/";
    base = home / "Library" / "Application Support";
  }
  migrateLegacyDataDirectoryIfNeeded(base, files);
  return base / std::string(Branding::dataDirectoryName) / "config.json";
}

void ConfigStore::migrateLegacyDataDirectoryIfNeeded(const std::filesystem::path& base,
                                                     FileManager& files) {
  const auto oldFolder = base / std::string(Branding::legacyDataDirectoryName);
  const auto newFolder = base / std::string(Branding::dataDirectoryName);
  // The move is best effort: nothing here may keep the application or the service from
  // finding their configuration location.
  try {
    if (!files.fileExists(oldFolder) || files.fileExists(newFolder)) return;
    try {
      files.createDirectory(newFolder);
    } catch (const std::exception&) {
    }
    std::vector<std::string> names;
    try {
      names = files.contentsOfDirectory(oldFolder);
    } catch (const std::exception&) {
      return;
    }
    for (const auto& name : names) {
      // The earlier product's installed programs stay; the application removes them itself.
      if (name == "bin") continue;
      try {
        files.moveItem(oldFolder / name, newFolder / name);
      } catch (const std::exception&) {
      }
    }
  } catch (const std::exception&) {
  }
}

ConfigSnapshot ConfigStore::load() const {
  if (!fileManager->fileExists(url)) throw ConfigStoreError::missingConfig(url);
  std::string bytes;
  try {
    bytes = fileManager->readFile(url);
  } catch (const FileSystemError& e) {
    // Removed between the check and the read: still simply missing.
    if (e.errorNumber() == ENOENT) throw ConfigStoreError::missingConfig(url);
    throw;
  }
  return ConfigMigration::migrate(JSONDecoder::tidewell().decode<ConfigSnapshot>(bytes));
}

ConfigSnapshot ConfigStore::loadValidated() const {
  ConfigSnapshot snapshot = load();
  ValidationResult result = validator.validate(snapshot);
  if (!result.errors.empty()) throw ConfigStoreError::invalidConfig(std::move(result));
  return snapshot;
}

namespace {

// Clears away the temporary file of a save that failed. The save's own failure is the one
// to report, so a failure to remove is not.
void removeLeftover(FileManager& files, const std::filesystem::path& temporary) {
  try {
    files.removeItem(temporary);
  } catch (const std::exception&) {
  }
}

std::filesystem::path folderOf(const std::filesystem::path& url) {
  std::filesystem::path folder = url.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

// True for a name the store gives its temporary files: "." + file name + "." + UUID + ".tmp".
bool isTemporaryName(const std::string& name, const std::string& fileName) {
  const std::string prefix = "." + fileName + ".";
  const std::string suffix = ".tmp";
  constexpr std::size_t uuidLength = 36;
  if (name.size() != prefix.size() + uuidLength + suffix.size()) return false;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  for (std::size_t i = prefix.size(); i < prefix.size() + uuidLength; ++i) {
    char c = name[i];
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != '-') return false;
  }
  return true;
}

}  // namespace

// A writer that is killed between creating its temporary file and renaming it leaves the file
// behind. Every writer holds a shared lock on the configuration's folder for exactly that span
// (the kernel drops it with the writer), so whoever gets the lock exclusively knows that no
// write is under way and that every temporary file of the store in the folder was abandoned.
ConfigStore::FolderLock::FolderLock(const std::filesystem::path& folder)
    : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

ConfigStore::FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool ConfigStore::FolderLock::tryExclusive() {
  return fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

void ConfigStore::FolderLock::share() {
  if (fd_ < 0) return;
  // Waits at most for a clean-up in progress; a failure leaves the write unprotected, which
  // only risks a temporary file left over, never the configuration.
  while (::flock(fd_, LOCK_SH) != 0 && errno == EINTR) {
  }
}

void ConfigStore::removeAbandonedTemporaryFiles(FolderLock& lock) const {
  if (!lock.tryExclusive()) return;  // a write is under way
  try {
    const std::filesystem::path folder = folderOf(url);
    const std::string fileName = url.filename().string();
    for (const auto& name : fileManager->contentsOfDirectory(folder)) {
      if (isTemporaryName(name, fileName)) removeLeftover(*fileManager, folder / name);
    }
  } catch (const std::exception&) {
    // Best effort: a folder that cannot be listed keeps its leftovers, which loads ignore.
  }
}

void ConfigStore::removeAbandonedTemporaryFiles() const {
  FolderLock lock(folderOf(url));
  removeAbandonedTemporaryFiles(lock);
}

ConfigStore::FolderLock ConfigStore::beginWrite() const {
  const std::filesystem::path folder = folderOf(url);
  fileManager->createDirectory(folder);
  FolderLock lock(folder);
  removeAbandonedTemporaryFiles(lock);
  lock.share();
  return lock;
}

std::filesystem::path ConfigStore::writeTemporaryFile(const ConfigSnapshot& snapshot) const {
  const std::filesystem::path folder = folderOf(url);
  // Encoding comes before any file is made, so a document that cannot be written leaves nothing.
  const std::string bytes = JSONEncoder::tidewell().encode(snapshot);
  const auto temporary =
      folder / ("." + url.filename().string() + "." + makeUUIDString() + ".tmp");
  try {
    fileManager->writeNewFile(temporary, bytes);
  } catch (...) {
    removeLeftover(*fileManager, temporary);
    throw;
  }
  return temporary;
}

void ConfigStore::save(const ConfigSnapshot& snapshot) const {
  FolderLock lock = beginWrite();
  const auto temporary = writeTemporaryFile(snapshot);
  try {
    fileManager->replaceItem(url, temporary);
  } catch (...) {
    removeLeftover(*fileManager, temporary);
    throw;
  }
  fileManager->synchronizeDirectory(temporary.parent_path());
}

ConfigSnapshot ConfigStore::loadOrCreateEmpty() const {
  try {
    ConfigSnapshot snapshot = load();
    // The service comes here on every pass, so a writer's leftover never stays for long.
    removeAbandonedTemporaryFiles();
    return snapshot;
  } catch (const ConfigStoreError& e) {
    if (e.kind() != ConfigStoreError::Kind::missingConfig) throw;
  }
  const ConfigSnapshot empty = ConfigSnapshot::empty();
  FolderLock lock = beginWrite();
  const auto temporary = writeTemporaryFile(empty);
  try {
    // Never replaces: a document saved by another process since the check above wins.
    fileManager->moveItem(temporary, url);
  } catch (const FileSystemError& e) {
    removeLeftover(*fileManager, temporary);
    if (e.errorNumber() == EEXIST) return load();
    throw;
  } catch (...) {
    removeLeftover(*fileManager, temporary);
    throw;
  }
  fileManager->synchronizeDirectory(temporary.parent_path());
  return empty;
}

}  // namespace tidewell
