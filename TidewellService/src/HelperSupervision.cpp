// Supervision of the helper processes: one per desired route, restarted with a backoff after
// each failed run or launch (at once after a helper's deliberate end), stopped with SIGTERM and,
// after a grace period, SIGKILL.

#include <algorithm>
#include <csignal>

#include "TidewellService.h"
#include "TidewellServiceLog.h"

namespace tidewell {

HelperStopQueue::HelperStopQueue(std::chrono::duration<double> grace)
    : grace_(grace), thread_([this] { work(); }) {}

HelperStopQueue::~HelperStopQueue() {
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void HelperStopQueue::schedule(std::shared_ptr<HelperProcess> process, std::string summary) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(grace_);
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(Job{std::move(process), std::move(summary), deadline});
  }
  changed_.notify_all();
}

void HelperStopQueue::drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] {
    return std::all_of(jobs_.begin(), jobs_.end(), [](const Job& job) { return job.killed; });
  });
}

void HelperStopQueue::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (quitting_) return;
    if (jobs_.empty()) {
      changed_.wait(lock, [this] { return quitting_ || !jobs_.empty(); });
      continue;
    }
    // Look at each job: a helper that has exited is done with (and reaped, so no zombie is
    // left behind); one past its deadline is killed. One that outlives even its SIGKILL (stuck
    // in the kernel) stays, and is looked at again until it can be reaped.
    std::vector<Job> due;
    bool ended = false;
    auto now = std::chrono::steady_clock::now();
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      if (!it->process->isRunning()) {
        it = jobs_.erase(it);
        ended = true;
      } else if (!it->killed && now >= it->deadline) {
        due.push_back(std::move(*it));
        it = jobs_.erase(it);
      } else {
        ++it;
      }
    }
    if (!due.empty()) {
      // Not yet reported as drained: the killed helpers still have to be reaped.
      jobs_.insert(jobs_.end(), due.begin(), due.end());
      lock.unlock();
      for (auto& job : due) {
        auto seconds = static_cast<long long>(std::chrono::duration<double>(grace_).count());
        TidewellServiceLog::write(job.summary + " did not exit " + std::to_string(seconds) +
                                  " s after SIGTERM; killing it");
        job.process->sendSignal(SIGKILL);
        job.process->waitForExit(std::chrono::seconds(2));
      }
      lock.lock();
      for (auto& job : jobs_) {
        bool wasDue = std::any_of(due.begin(), due.end(),
                                  [&job](const Job& d) { return d.process == job.process; });
        if (wasDue) job.killed = true;
      }
      changed_.notify_all();
      continue;  // reaps at once what the kill ended
    }
    // Every job that ends may be the last one drain() waits for, even with a killed helper
    // still queued behind it.
    if (ended) changed_.notify_all();
    if (jobs_.empty()) continue;
    changed_.wait_for(lock, std::chrono::milliseconds(20));
  }
}

ManagedRoute::ManagedRoute(DesiredRoute route, ServicePlatform& platform,
                           HelperStopQueue& stopQueue)
    : route(std::move(route)), platform_(platform), stopQueue_(stopQueue) {}

std::chrono::seconds ManagedRoute::backoff(std::int64_t failureCount) {
  static constexpr std::int64_t delays[] = {2, 5, 10, 30, 60};
  std::int64_t index = std::min<std::int64_t>(std::max<std::int64_t>(failureCount, 1) - 1, 4);
  return std::chrono::seconds(delays[index]);
}

void ManagedRoute::recordFailure(Clock::time_point now) {
  failureCount += 1;
  nextStartDate = now + backoff(failureCount);
}

void ManagedRoute::ensureRunning(const ServiceEnvironment& baseEnvironment, bool startBlocked) {
  auto now = platform_.now();
  if (process) {
    if (process->isRunning()) return;
    const int status = process->terminationStatus();
    TidewellServiceLog::write(route.summary + " exited with status " + std::to_string(status));
    process.reset();
    // Never sooner after its start than a failure's first backoff: one that ends so at once is
    // a failure however it ends, and a helper is not started again and again in a tight loop.
    const bool deliberate = status == 0 && now - startedAt >= backoff(1);
    if (!deliberate) {
      recordFailure(now);
      return;
    }
  }
  if (startBlocked) return;
  if (now >= nextStartDate) start(baseEnvironment);
}

void ManagedRoute::start(const ServiceEnvironment& baseEnvironment) {
  ServiceEnvironment environment = baseEnvironment;
  for (const auto& [name, value] : route.controlEnvironment) environment[name] = value;
  for (const auto& [name, value] : route.environment) environment[name] = value;
  std::string error;
  auto launched = platform_.launch(route.executableURL, environment, error);
  if (launched) {
    process = std::move(launched);
    startedAt = platform_.now();
    failureCount = 0;
    nextStartDate = Clock::time_point::min();
    TidewellServiceLog::write("Started " + route.summary);
  } else {
    recordFailure(platform_.now());
    TidewellServiceLog::write("Could not start " + route.summary + ": " + error);
  }
}

std::shared_ptr<HelperProcess> ManagedRoute::stop(std::string_view reason) {
  if (!process) return nullptr;
  TidewellServiceLog::write("Stopping " + route.summary + ": " + std::string(reason));
  auto stopped = std::move(process);
  process.reset();
  stopped->sendSignal(SIGTERM);
  stopQueue_.schedule(stopped, route.summary);
  return stopped;
}

bool TidewellService::predecessorStillRunning(const std::string& key) {
  auto [first, last] = stoppingHelpers_.equal_range(key);
  bool running = false;
  for (auto it = first; it != last;) {
    if (it->second->isRunning()) {
      running = true;
      ++it;
    } else {
      it = stoppingHelpers_.erase(it);
    }
  }
  return running;
}

void TidewellService::reconcile(const std::vector<DesiredRoute>& desired) {
  // A repeated key (ids repeated in a hand-edited file) keeps its first route.
  std::map<std::string, const DesiredRoute*> byKey;
  std::vector<const DesiredRoute*> ordered;
  for (const auto& route : desired) {
    if (byKey.emplace(route.key, &route).second) ordered.push_back(&route);
  }

  for (auto it = routes_.begin(); it != routes_.end();) {
    if (byKey.count(it->first) == 0) {
      if (auto stopped = it->second->stop("configuration removed route")) {
        stoppingHelpers_.emplace(it->first, stopped);
      }
      it = routes_.erase(it);
    } else {
      ++it;
    }
  }

  std::vector<std::shared_ptr<HelperProcess>> replaced;
  for (const DesiredRoute* route : ordered) {
    auto it = routes_.find(route->key);
    if (it == routes_.end()) {
      routes_.emplace(route->key, std::make_unique<ManagedRoute>(*route, *platform_, stopQueue_));
    } else if (!(it->second->route == *route)) {
      if (auto stopped = it->second->stop("configuration changed route")) {
        stoppingHelpers_.emplace(route->key, stopped);
        replaced.push_back(stopped);
      }
      it->second = std::make_unique<ManagedRoute>(*route, *platform_, stopQueue_);
    } else {
      // A rename: the helper keeps running; its log lines use the new names from now on.
      it->second->route.summary = route->summary;
    }
  }

  // The old helper of a changed route must be gone before its replacement starts (two would
  // feed the device twice and share one meter region). Most end within moments of SIGTERM, so
  // wait briefly; a slower one delays its replacement to a later pass, at most until the
  // grace period's SIGKILL.
  auto budgetEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  for (auto& process : replaced) {
    auto left = budgetEnd - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    process->waitForExit(left);
  }

  for (auto& [key, managed] : routes_) {
    managed->ensureRunning(helperBaseEnvironment_, predecessorStillRunning(key));
    // At once after each start: the record is what a successor has to end them by.
    recordHelpers();
  }
  // Entries whose routes are gone are pruned here, so the table never grows without bound.
  for (auto it = stoppingHelpers_.begin(); it != stoppingHelpers_.end();) {
    if (it->second->isRunning()) {
      ++it;
    } else {
      it = stoppingHelpers_.erase(it);
    }
  }
  recordHelpers();
}

void TidewellService::recordHelpers() {
  if (dryRun_) return;
  std::vector<StartedHelper> helpers;
  for (const auto& [key, managed] : routes_) {
    if (managed->process) helpers.push_back({managed->process->pid(), managed->route.executableURL});
  }
  // A helper on its way out was recorded while its route ran it; it stays recorded until reaped.
  for (const auto& [key, process] : stoppingHelpers_) {
    for (const auto& recorded : recordedHelpers_) {
      if (recorded.pid == process->pid()) helpers.push_back(recorded);
    }
  }
  if (helpers == recordedHelpers_) return;
  platform_->recordHelpers(helpers);
  recordedHelpers_ = std::move(helpers);
}

}  // namespace tidewell
