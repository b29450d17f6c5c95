#pragma once
// Crash tests on the whole system: the application and hardware input of
// ServiceApplicationEndToEndTest in one virtual device with a monitor, so three helpers run.
// Tests kill parts of it and look at what is left: how many helpers each route has, what the
// device carries, and whether the runtime region is whole.

#include "ServiceEndToEndFixture.h"

namespace tidewell::testing {

class ServiceCrashTest : public ServiceApplicationEndToEndTest {
 protected:
  void TearDown() override {
    ServiceApplicationEndToEndTest::TearDown();
    // Whatever a failed test left behind must not outlive it.
    for (const auto& [name, pids] : helpersOfServer(server.socket())) {
      for (pid_t pid : pids) ::kill(pid, SIGKILL);
    }
  }

  void killService() {
    ::kill(servicePid, SIGKILL);
    ::waitpid(servicePid, nullptr, 0);
    servicePid = -1;
  }

  // Exactly one helper per route (three routes), each a child of the running service.
  bool oneHelperPerRoute() {
    auto helpers = helpersOfServer(server.socket());
    if (helpers.size() != 3) return false;
    for (const auto& [name, pids] : helpers) {
      if (pids.size() != 1 || stateOf(pids[0]).second != servicePid) return false;
    }
    return true;
  }

  // One helper per route, and the same ones all through `window`. A helper started before the
  // plug-in has made its device ends at once and comes back after its backoff; on a slow or
  // loaded machine it is still there when the routes are counted, and what is recorded then
  // has the restarts in it.
  bool settledHelpers(std::chrono::milliseconds window = 2s) {
    if (!oneHelperPerRoute()) return false;
    const auto before = helpersOfServer(server.socket());
    std::this_thread::sleep_for(window);
    return oneHelperPerRoute() && helpersOfServer(server.socket()) == before;
  }

  std::string helperReport() {
    std::string text = "helpers (service " + std::to_string(servicePid) + "):";
    for (const auto& [name, pids] : helpersOfServer(server.socket())) {
      text += " " + name + " [";
      for (pid_t pid : pids) text += " " + std::to_string(pid) + "<-" + std::to_string(stateOf(pid).second);
      text += " ]";
    }
    return text;
  }

  // The device carries each source once: its level within the tolerance of the reference.
  bool carriesOnce(const std::vector<double>& reference, double tolerance) {
    return deviceCarries(440, 997, reference, tolerance);
  }

  // The runtime region exists with a valid header and no write left half done.
  static bool runtimeRegionIsWhole() {
    int fd = TidewellShmOpen(TidewellRuntimeRegionName, O_RDONLY, 0);
    if (fd < 0) return false;
    void* mapping = ::mmap(nullptr, TidewellRuntimeSize, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (mapping == MAP_FAILED) return false;
    bool whole = TidewellRegionHeaderMatches(mapping, TidewellRuntimeMagic, TidewellRuntimeVersion,
                                             TidewellRuntimeSize) &&
                 TidewellSequenceReadBegin(mapping) % 2 == 0;
    ::munmap(mapping, TidewellRuntimeSize);
    return whole;
  }

  size_t logCount(const std::string& prefix) {
    size_t count = 0;
    for (const auto& message : messages(logFile)) count += message.rfind(prefix, 0) == 0;
    return count;
  }
};

}  // namespace tidewell::testing
