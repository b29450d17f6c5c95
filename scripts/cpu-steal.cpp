// Emulates a host that takes a virtual machine's processors away now and then: about once a
// second, every processor is held at the highest real-time priority for 5 to 30 ms at the
// same moment, so nothing else on the machine (audio threads included) runs meanwhile.
// Built and started by scripts/cpu-steal; needs root (or CAP_SYS_NICE) for real-time priority.

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> stopping{false};
std::atomic<long> stealUntilNs{0};  // steady-clock time the current steal ends at
std::atomic<unsigned> generation{0};

long nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void onSignal(int) { stopping.store(true); }

void stealer(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
  unsigned seen = generation.load();
  while (!stopping.load()) {
    // Sleep (not at real-time priority) until the next steal is announced.
    unsigned now = generation.load();
    if (now == seen) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      continue;
    }
    seen = now;
    sched_param high{};
    high.sched_priority = sched_get_priority_max(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &high);
    const long until = stealUntilNs.load();
    while (nowNs() < until) {
    }
    sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int minMs = 5, maxMs = 30, everyMs = 1000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--min-ms")) minMs = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--max-ms")) maxMs = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--every-ms")) everyMs = std::atoi(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: cpu-steal [--min-ms N] [--max-ms N] [--every-ms N]\n");
      return 2;
    }
  }
  if (minMs < 1 || maxMs < minMs || everyMs < 2 * maxMs) {
    std::fprintf(stderr, "cpu-steal: want 1 <= min-ms <= max-ms and every-ms >= 2 * max-ms\n");
    return 2;
  }
  sched_param probe{};
  probe.sched_priority = 1;
  if (sched_setscheduler(0, SCHED_FIFO, &probe) != 0) {
    std::fprintf(stderr, "cpu-steal: real-time priority refused (%s); run it as root\n", std::strerror(errno));
    return 1;
  }
  sched_param normal{};
  sched_setscheduler(0, SCHED_OTHER, &normal);
  signal(SIGINT, onSignal);
  signal(SIGTERM, onSignal);

  const int cpus = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  std::vector<std::thread> threads;
  for (int cpu = 0; cpu < cpus; ++cpu) threads.emplace_back(stealer, cpu);

  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> length(minMs, maxMs);
  std::uniform_int_distribution<int> gap(everyMs / 2, everyMs * 3 / 2);
  long steals = 0, stolenMs = 0;
  while (!stopping.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
    if (stopping.load()) break;
    const int ms = length(random);
    stealUntilNs.store(nowNs() + ms * 1000000L);
    generation.fetch_add(1);
    ++steals;
    stolenMs += ms;
  }
  for (auto& t : threads) t.join();
  std::fprintf(stderr, "cpu-steal: %ld steals, %ld ms of every processor taken\n", steals, stolenMs);
  return 0;
}
