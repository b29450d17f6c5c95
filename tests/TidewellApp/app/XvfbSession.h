#pragma once
// What the tests of the real executable share: starting programs with exactly the environment
// they are given, a private Xvfb, and reading Xvfb's screen back from its frame-buffer file.

#include <QImage>
#include <QtEndian>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tidewell::testing {

// Starts `arguments[0]` with exactly `environment`; stdout and stderr go to `log`; `extraFd`
// becomes `extraFdTarget` in the child. The pid, or -1.
inline pid_t spawnWith(const std::vector<std::string>& arguments, std::vector<std::string> environment,
                       const std::filesystem::path& log, int extraFd = -1, int extraFdTarget = -1) {
  std::vector<std::string> words = arguments;
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, extraFdTarget);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return failed ? -1 : pid;
}

// Runs a program to its end; its exit status, or -1 when it did not exit normally.
inline int runWith(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                   const std::filesystem::path& log = "/dev/null") {
  const pid_t pid = spawnWith(arguments, environment, log);
  if (pid < 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts Xvfb (a screen of `size`, "WxHxDepth") keeping its screen in `screenFolder`; the
// display name (":N") once it accepts clients, empty when it did not start. `pid` is set
// either way.
inline std::string startXvfb(const std::vector<std::string>& environment, const std::filesystem::path& screenFolder,
                             const std::filesystem::path& log, pid_t& pid,
                             const std::string& size = "1280x800x24") {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  pid = spawnWith({"/usr/bin/Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", size,
                   "-fbdir", screenFolder.string()},
                  environment, log, pipeFds[1], 3);
  ::close(pipeFds[1]);
  // Xvfb writes its display number once it accepts clients.
  std::string number;
  char c = 0;
  while (pid > 0 && ::read(pipeFds[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(pipeFds[0]);
  return number.empty() ? std::string() : ":" + number;
}

// Xvfb's screen as an image: the server keeps it as an XWD file in its frame-buffer folder.
inline QImage readXwdScreen(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  if (bytes.size() < 100) return {};
  auto field = [&](int index) { return qFromBigEndian<quint32>(bytes.data() + 4 * index); };
  const quint32 headerSize = field(0), width = field(4), height = field(5), byteOrder = field(7);
  const quint32 bitsPerPixel = field(11), bytesPerLine = field(12), colours = field(19);
  const std::size_t start = headerSize + std::size_t(colours) * 12;
  if (bitsPerPixel != 32 || byteOrder != 0 || bytes.size() < start + std::size_t(bytesPerLine) * height)
    return {};
  QImage image(reinterpret_cast<const uchar*>(bytes.data() + start), int(width), int(height),
               int(bytesPerLine), QImage::Format_RGB32);
  return image.copy();
}

}  // namespace tidewell::testing
