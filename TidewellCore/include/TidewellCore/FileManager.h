#pragma once
// The file-system operations the configuration store relies on, behind one interface so tests
// can inject failures. The default manager works on the local POSIX file system.

#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tidewell {

class FileSystemError : public std::exception {
 public:
  FileSystemError(std::string operation, std::filesystem::path path, int errorNumber);
  const std::string& operation() const noexcept { return operation_; }
  const std::filesystem::path& path() const noexcept { return path_; }
  int errorNumber() const noexcept { return errorNumber_; }
  // "<operation> '<path>': <system error text>"
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string operation_;
  std::filesystem::path path_;
  int errorNumber_;
  std::string message_;
};

class FileManager {
 public:
  virtual ~FileManager() = default;

  // The process's shared manager.
  static std::shared_ptr<FileManager> defaultManager();

  // Per-user data folders, best first; may be empty (UserDataFolder).
  virtual std::vector<std::filesystem::path> applicationSupportDirectories();
  virtual std::filesystem::path homeDirectory();

  // True when any item (file, folder, other) exists at path, following symbolic links.
  virtual bool fileExists(const std::filesystem::path& path);
  // Creates the folder and any missing parents; succeeds when it exists already.
  virtual void createDirectory(const std::filesystem::path& path);
  // Names (not paths) of the entries directly inside a folder, hidden ones included.
  virtual std::vector<std::string> contentsOfDirectory(const std::filesystem::path& path);
  // Renames a file or folder; fails with EEXIST when anything exists at the destination.
  virtual void moveItem(const std::filesystem::path& from, const std::filesystem::path& to);
  // Puts replacement in the place of original in one step (original need not exist);
  // replacement no longer exists afterwards.
  virtual void replaceItem(const std::filesystem::path& original,
                           const std::filesystem::path& replacement);
  virtual std::string readFile(const std::filesystem::path& path);
  // Creates a new file (never opens an existing one or follows a link), writes every byte and
  // flushes it to stable storage before closing.
  virtual void writeNewFile(const std::filesystem::path& path, std::string_view bytes);
  // Removes a file.
  virtual void removeItem(const std::filesystem::path& path);
  // Flushes a folder's entries (a rename in it) to stable storage.
  virtual void synchronizeDirectory(const std::filesystem::path& path);

  // Largest file readFile accepts; a configuration is a few kilobytes, so anything beyond this
  // is not one and is refused rather than read into memory.
  static constexpr std::size_t maximumReadSize = 64u * 1024u * 1024u;
};

}  // namespace tidewell
