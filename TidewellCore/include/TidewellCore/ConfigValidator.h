#pragma once
// Validation of a whole configuration document into errors (the document must not be used)
// and warnings (it works, but something in it is ignored, dangling or suspicious).

#include <string>
#include <vector>

#include "TidewellCore/ConfigModel.h"

namespace tidewell {

struct ValidationIssue {
  std::string code;     // e.g. "device.invalidVolume"
  std::string message;  // English sentence for the user
  std::string path;     // e.g. "devices[0].sources[2].channelGains[5]"
  bool operator==(const ValidationIssue&) const = default;
};

struct ValidationResult {
  std::vector<ValidationIssue> errors;
  std::vector<ValidationIssue> warnings;
  bool isValid() const { return errors.empty(); }
  bool operator==(const ValidationResult&) const = default;
};

class ConfigValidator {
 public:
  // Longest device UID, in UTF-8 bytes, that the runtime region can carry unchanged.
  static constexpr std::size_t maximumDeviceUIDBytes = 127;

  // Runs every check in a fixed order; never fails and never stops early.
  ValidationResult validate(const ConfigSnapshot& snapshot) const;

  bool operator==(const ConfigValidator&) const = default;
};

}  // namespace tidewell
