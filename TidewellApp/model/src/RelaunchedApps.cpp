// Re-pointing application sources at the new process of an application that was quit and
// started again, so the service captures it afresh.

#include <map>

#include "TidewellApp/TidewellAppModel.h"

namespace tidewell {

void TidewellAppModel::followRelaunchedApplicationSources() {
  const auto& candidates = applicationSourceCandidates_;
  // Still running means the same process of the same application: a pid now used by another
  // application does not count.
  auto stillRunning = [&](std::int32_t pid, const std::string& bundleIdentifier) {
    for (const auto& candidate : candidates) {
      if (candidate.pid == pid && candidate.bundleIdentifier == bundleIdentifier) return true;
    }
    return false;
  };
  // Of several processes of the application, the smallest pid, as the service chooses.
  auto newProcess = [&](const std::string& bundleIdentifier) {
    const ApplicationSourceCandidate* best = nullptr;
    for (const auto& candidate : candidates) {
      if (candidate.bundleIdentifier != bundleIdentifier || !candidate.pid) continue;
      if (!best || *candidate.pid < *best->pid) best = &candidate;
    }
    return best;
  };

  const ConfigSnapshot& base = workingCopy();
  std::vector<std::pair<std::string, ApplicationSourceCandidate>> replacements;
  for (const auto& device : base.devices) {
    for (const auto& source : device.sources) {
      const auto& metadata = source.metadata;
      if (source.type != SourceType::application || !metadata.bundleIdentifier || !metadata.pid) {
        continue;
      }
      if (stillRunning(*metadata.pid, *metadata.bundleIdentifier)) continue;
      if (const auto* candidate = newProcess(*metadata.bundleIdentifier)) {
        replacements.emplace_back(source.id, *candidate);
      }
    }
  }
  if (replacements.empty()) return;

  ConfigSnapshot edited = base;
  for (const auto& [sourceID, candidate] : replacements) {
    for (auto& device : edited.devices) {
      for (auto& source : device.sources) {
        if (source.id != sourceID) continue;
        source.metadata.pid = candidate.pid;
        source.metadata.processObjectID = candidate.processObjectID;
        break;
      }
    }
  }
  saveEditedSnapshot(edited, QStringLiteral("Followed relaunched app"));
}

void TidewellAppModel::refreshApplicationSourceCandidates() {
  setApplicationSourceCandidates(environment_.registry->applicationSourceCandidates());
  followRelaunchedApplicationSources();
}

}  // namespace tidewell
