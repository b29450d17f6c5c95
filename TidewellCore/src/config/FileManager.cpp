#include "TidewellCore/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "TidewellCore/UserDataFolder.h"

namespace tidewell {
namespace {

[[noreturn]] void failWith(const char* operation, const std::filesystem::path& path, int error) {
  throw FileSystemError(operation, path, error);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the result (a delayed write error can surface here).
  int close() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

bool isDirectory(const std::filesystem::path& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

FileSystemError::FileSystemError(std::string operation, std::filesystem::path path, int errorNumber)
    : operation_(std::move(operation)), path_(std::move(path)), errorNumber_(errorNumber) {
  message_ = operation_ + " '" + path_.string() + "': " + std::strerror(errorNumber_);
}

std::shared_ptr<FileManager> FileManager::defaultManager() {
  static const std::shared_ptr<FileManager> shared = std::make_shared<FileManager>();
  return shared;
}

std::vector<std::filesystem::path> FileManager::applicationSupportDirectories() {
  return UserDataFolder::applicationSupportDirectories();
}

std::filesystem::path FileManager::homeDirectory() { return UserDataFolder::homeDirectory(); }

bool FileManager::fileExists(const std::filesystem::path& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

void FileManager::createDirectory(const std::filesystem::path& path) {
  if (path.empty()) failWith("create folder", path, ENOENT);
  if (isDirectory(path)) return;
  if (path.has_parent_path() && path.parent_path() != path) {
    std::filesystem::path parent = path.parent_path();
    if (!isDirectory(parent)) createDirectory(parent);
  }
  if (::mkdir(path.c_str(), 0777) != 0) {
    // Another process may have made it in the meantime.
    if (errno == EEXIST && isDirectory(path)) return;
    failWith("create folder", path, errno);
  }
}

std::vector<std::string> FileManager::contentsOfDirectory(const std::filesystem::path& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) failWith("list folder", path, errno);
  std::vector<std::string> names;
  errno = 0;
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name != "." && name != "..") names.emplace_back(name);
    errno = 0;
  }
  int error = errno;
  ::closedir(dir);
  if (error != 0) failWith("list folder", path, error);
  return names;
}

void FileManager::moveItem(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) failWith("move", from, errno);
  // File systems without no-replace renames: a hard link never replaces either; folders, which
  // cannot be linked, fall back to a check before the rename.
  if (!isDirectory(from)) {
    if (::link(from.c_str(), to.c_str()) != 0) failWith("move", from, errno);
    ::unlink(from.c_str());
    return;
  }
  if (fileExists(to)) failWith("move", from, EEXIST);
  if (::rename(from.c_str(), to.c_str()) != 0) failWith("move", from, errno);
}

void FileManager::replaceItem(const std::filesystem::path& original,
                              const std::filesystem::path& replacement) {
  // rename(2) within one folder swaps the name over in one step: readers open either file.
  if (::rename(replacement.c_str(), original.c_str()) != 0) failWith("replace", original, errno);
}

std::string FileManager::readFile(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) failWith("read", path, errno);
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) failWith("read", path, errno);
  if (S_ISDIR(st.st_mode)) failWith("read", path, EISDIR);
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > maximumReadSize)
    failWith("read", path, EFBIG);
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      failWith("read", path, errno);
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > maximumReadSize) failWith("read", path, EFBIG);
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

void FileManager::writeNewFile(const std::filesystem::path& path, std::string_view bytes) {
  FileDescriptor fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (fd.get() < 0) failWith("write", path, errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      failWith("write", path, errno);
    }
    done += static_cast<std::size_t>(n);
  }
  // The data must reach the disk before the name does, or a crash could leave an empty file
  // in place of the configuration.
  if (::fsync(fd.get()) != 0) failWith("flush", path, errno);
  if (fd.close() != 0) failWith("write", path, errno);
}

void FileManager::removeItem(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0) failWith("remove", path, errno);
}

void FileManager::synchronizeDirectory(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) failWith("flush folder", path, errno);
  if (::fsync(fd.get()) != 0) failWith("flush folder", path, errno);
}

}  // namespace tidewell
