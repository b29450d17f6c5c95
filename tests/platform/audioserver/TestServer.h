// Test harness: a private audioserverd per test, child processes with captured output,
// and small helpers over the client library.
#pragma once

#include <AudioClient/AudioHardware.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace audiotest {

std::string BinDir();

// A fresh temporary directory, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A child process whose standard output (and error) is read line by line.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // The next line of output, waiting at most `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Waits for the line that starts with `prefix`, skipping others.
    std::optional<std::string> waitFor(const std::string& prefix, std::chrono::milliseconds timeout);
    // Exit status (or 128 + signal), waiting at most `timeout`; nullopt if still running.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void signal(int sig);
    pid_t pid() const { return pid_; }
    std::string output() const { return all_; }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string buffer_;
    std::string all_;
    std::optional<int> status_;
};

// Runs a program to its end; returns exit status and collects its output.
int Run(const std::vector<std::string>& argv, std::string* output = nullptr);

// audioserverd on this test process's private socket (AUDIOSERVER_SOCKET, set for this
// process and inherited by its children). dir() is a fresh folder for the test's files.
class TestServer {
public:
    explicit TestServer(bool defaultDevices = true);
    ~TestServer();
    void start();
    void stop();  // SIGTERM and wait
    std::optional<nlohmann::json> control(const nlohmann::json& request);
    const std::string& dir() const { return dir_.path(); }
    const std::string& socket() const { return socket_; }
    pid_t pid() const { return pid_; }

private:
    TempDir dir_;
    std::string socket_;
    bool defaults_;
    pid_t pid_ = -1;
};

// Client-library helpers.
AudioObjectPropertyAddress Address(AudioObjectPropertySelector s, AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                                   AudioObjectPropertyElement element = kAudioObjectPropertyElementMain);
std::vector<AudioObjectID> DeviceIDs();
std::string StringProperty(AudioObjectID obj, AudioObjectPropertySelector sel);
AudioObjectID DeviceByUID(const std::string& uid);
uint32_t U32Property(AudioObjectID obj, AudioObjectPropertyAddress a, OSStatus* status = nullptr);

}  // namespace audiotest
