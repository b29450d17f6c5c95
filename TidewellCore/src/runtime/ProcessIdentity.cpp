#include "runtime/ProcessIdentity.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace tidewell::process_identity {

std::string executableAt(const std::string &procEntry)
{
    std::error_code error;
    std::filesystem::path target = std::filesystem::read_symlink(procEntry, error);
    if (error) {
        return {};
    }
    std::string text = target.string();
    const std::string deleted = " (deleted)";
    if (text.size() > deleted.size() && text.compare(text.size() - deleted.size(), deleted.size(), deleted) == 0) {
        text.resize(text.size() - deleted.size());
    }
    return text;
}

std::string executableOf(pid_t pid)
{
    return executableAt("/proc/" + std::to_string(pid) + "/exe");
}

std::optional<std::uint64_t> startTimeOf(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!file || !std::getline(file, text)) {
        return std::nullopt;
    }
    // The command name may hold blanks and parentheses: the fields follow its last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size()) {
        return std::nullopt;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    // Field 3 (the state) is the first after the name; the start time is field 22.
    for (int number = 3; number < 22; ++number) {
        if (!(fields >> field)) {
            return std::nullopt;
        }
    }
    std::uint64_t ticks = 0;
    if (!(fields >> ticks)) {
        return std::nullopt;
    }
    return ticks;
}

} // namespace tidewell::process_identity
