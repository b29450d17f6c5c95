#pragma once
// Runs a program to its end and collects its standard output and error together.

#include <string>
#include <vector>

namespace tidewell::launch {

struct SubprocessResult {
  int status = -1;  // exit status; 128 + signal number when a signal ended it; -1 not started
  std::string output;
};

SubprocessResult runSubprocess(const std::vector<std::string>& argv);

}  // namespace tidewell::launch
