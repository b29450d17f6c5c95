#pragma once
// Loading, creating and atomically saving the configuration file, and bringing older schema
// versions up to date on every read.

#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "TidewellCore/ConfigModel.h"
#include "TidewellCore/ConfigValidator.h"
#include "TidewellCore/FileManager.h"

namespace tidewell {

class ConfigStoreError : public std::exception {
 public:
  enum class Kind { missingConfig, invalidConfig };

  static ConfigStoreError missingConfig(std::filesystem::path url);
  static ConfigStoreError invalidConfig(ValidationResult result);

  Kind kind() const noexcept { return kind_; }
  // missingConfig: the file that was looked for.
  const std::filesystem::path& url() const noexcept { return url_; }
  // invalidConfig: the document's validation result, warnings included.
  const ValidationResult& result() const noexcept { return result_; }
  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  bool operator==(const ConfigStoreError& other) const {
    return kind_ == other.kind_ && url_ == other.url_ && result_ == other.result_;
  }

 private:
  ConfigStoreError(Kind kind, std::filesystem::path url, ValidationResult result);
  Kind kind_;
  std::filesystem::path url_;
  ValidationResult result_;
  std::string description_;
};

namespace ConfigMigration {
// Brings a document to the current schema: versions above 1 only get the current number;
// older ones also give the selected (else first) device the pass-thru device UID.
ConfigSnapshot migrate(ConfigSnapshot snapshot);
}  // namespace ConfigMigration

struct ConfigStore {
  std::filesystem::path url;
  std::shared_ptr<FileManager> fileManager;
  ConfigValidator validator;

  explicit ConfigStore(std::filesystem::path url,
                       std::shared_ptr<FileManager> fileManager = FileManager::defaultManager(),
                       ConfigValidator validator = ConfigValidator());

  // "config.json" in the product folder of the per-user data folder. Moves the earlier product
  // line's folder contents across first when only that folder exists. Never fails.
  static std::filesystem::path defaultURL(
      const std::shared_ptr<FileManager>& fileManager = FileManager::defaultManager());

  // Reads, decodes and migrates the file. Throws ConfigStoreError (missingConfig),
  // FileSystemError or DecodingError.
  ConfigSnapshot load() const;
  // As load, then throws ConfigStoreError (invalidConfig) when the document has errors.
  ConfigSnapshot loadValidated() const;
  // As load, but a missing file is created holding the empty document, which is returned. A file
  // that appears meanwhile is never replaced: it is loaded instead. A damaged file is left as it is.
  // Temporary files that killed writers left beside the file are removed on the way.
  ConfigSnapshot loadOrCreateEmpty() const;
  // What loadOrCreateEmpty does beside the load: removes the temporary files that killed
  // writers left beside the file, when no write is under way. Never fails.
  void removeAbandonedTemporaryFiles() const;
  // Replaces the file whole, durably: a reader sees the old document or the new one, never a
  // mix, and a failed save leaves the old file and no temporary file behind; neither does a
  // save killed part-way, once the next save or loadOrCreateEmpty has run.
  // Throws EncodingError or FileSystemError.
  void save(const ConfigSnapshot& snapshot) const;

  bool operator==(const ConfigStore& other) const = default;

 private:
  // An advisory lock on the configuration's folder: shared while a write's temporary file
  // exists, exclusive while abandoned temporary files are removed. Never fails: without a
  // lock (a folder that cannot be opened) nothing is removed.
  class FolderLock {
   public:
    explicit FolderLock(const std::filesystem::path& folder);
    ~FolderLock();
    FolderLock(FolderLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FolderLock& operator=(FolderLock&&) = delete;
    bool tryExclusive();
    void share();

   private:
    int fd_;
  };

  static void migrateLegacyDataDirectoryIfNeeded(const std::filesystem::path& base,
                                                 FileManager& fileManager);
  // Creates the folder, removes the temporary files of writers that died before their rename
  // (only when no write is under way) and returns the shared lock the write then holds.
  FolderLock beginWrite() const;
  void removeAbandonedTemporaryFiles(FolderLock& lock) const;
  // Writes the document to a new hidden temporary file beside url and returns its path.
  std::filesystem::path writeTemporaryFile(const ConfigSnapshot& snapshot) const;
};

}  // namespace tidewell
