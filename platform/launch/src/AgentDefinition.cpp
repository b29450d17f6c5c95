#include "launch/AgentDefinition.h"

#include <CoreFoundation/CoreFoundation.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace tidewell::launch {
namespace {

struct CFReleaser {
  void operator()(CFTypeRef object) const {
    if (object) CFRelease(object);
  }
};
using CFHolder = std::unique_ptr<const void, CFReleaser>;

[[noreturn]] void invalid(const std::string& path, const std::string& problem) {
  throw LaunchError(kExitIOError, path + ": " + problem);
}

std::string text(CFStringRef s) {
  const char* bytes = CFStringGetCStringPtr(s, kCFStringEncodingUTF8);
  return bytes ? std::string(bytes) : std::string();
}

CFTypeRef value(CFDictionaryRef dict, const char* key) {
  return CFDictionaryGetValue(dict, CFStringMakeConstantString(key));
}

std::string stringValue(CFDictionaryRef dict, const char* key, const std::string& path) {
  CFTypeRef v = value(dict, key);
  if (v == nullptr) return {};
  if (CFGetTypeID(v) != CFStringGetTypeID()) invalid(path, std::string(key) + " is not a string");
  return text(static_cast<CFStringRef>(v));
}

bool boolValue(CFDictionaryRef dict, const char* key, const std::string& path) {
  CFTypeRef v = value(dict, key);
  if (v == nullptr) return false;
  if (CFGetTypeID(v) != CFBooleanGetTypeID()) invalid(path, std::string(key) + " is not a boolean");
  return CFBooleanGetValue(static_cast<CFBooleanRef>(v));
}

}  // namespace

AgentDefinition parseAgentDefinition(std::string_view xml, const std::string& path) {
  CFHolder data(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(xml.data()),
                             static_cast<CFIndex>(xml.size())));
  CFErrorRef error = nullptr;
  CFHolder plist(CFPropertyListCreateWithData(nullptr, static_cast<CFDataRef>(data.get()),
                                              kCFPropertyListImmutable, nullptr, &error));
  if (!plist) {
    CFHolder held(error);
    std::string why = "not a property list";
    if (error) {
      CFHolder description(CFErrorCopyDescription(error));
      why += ": " + text(static_cast<CFStringRef>(description.get()));
    }
    invalid(path, why);
  }
  if (CFGetTypeID(plist.get()) != CFDictionaryGetTypeID()) invalid(path, "the property list is not a dictionary");
  auto dict = static_cast<CFDictionaryRef>(plist.get());

  AgentDefinition agent;
  agent.path = path;
  agent.label = stringValue(dict, "Label", path);
  if (agent.label.empty()) invalid(path, "Label is missing");
  if (!isValidLabel(agent.label)) invalid(path, "Label \"" + agent.label + "\" is not usable");

  CFTypeRef arguments = value(dict, "ProgramArguments");
  if (arguments == nullptr || CFGetTypeID(arguments) != CFArrayGetTypeID())
    invalid(path, "ProgramArguments is missing or not an array");
  auto array = static_cast<CFArrayRef>(arguments);
  for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
    CFTypeRef item = CFArrayGetValueAtIndex(array, i);
    if (CFGetTypeID(item) != CFStringGetTypeID()) invalid(path, "ProgramArguments holds a value that is not a string");
    agent.programArguments.push_back(text(static_cast<CFStringRef>(item)));
  }
  if (agent.programArguments.empty() || agent.programArguments.front().empty())
    invalid(path, "ProgramArguments names no program");

  if (CFTypeRef environment = value(dict, "EnvironmentVariables")) {
    if (CFGetTypeID(environment) != CFDictionaryGetTypeID()) invalid(path, "EnvironmentVariables is not a dictionary");
    auto env = static_cast<CFDictionaryRef>(environment);
    auto count = static_cast<size_t>(CFDictionaryGetCount(env));
    std::vector<const void*> keys(count), values(count);
    CFDictionaryGetKeysAndValues(env, keys.data(), values.data());
    for (size_t i = 0; i < count; ++i) {
      if (CFGetTypeID(values[i]) != CFStringGetTypeID())
        invalid(path, "EnvironmentVariables holds a value that is not a string");
      std::string name = text(static_cast<CFStringRef>(keys[i]));
      if (name.empty() || name.find('=') != std::string::npos)
        invalid(path, "EnvironmentVariables holds the unusable name \"" + name + "\"");
      agent.environment[name] = text(static_cast<CFStringRef>(values[i]));
    }
  }
  agent.runAtLoad = boolValue(dict, "RunAtLoad", path);
  agent.keepAlive = boolValue(dict, "KeepAlive", path);
  agent.standardOutPath = stringValue(dict, "StandardOutPath", path);
  agent.standardErrorPath = stringValue(dict, "StandardErrorPath", path);
  return agent;
}

AgentDefinition readAgentDefinition(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) invalid(path, std::strerror(errno));
  std::ostringstream contents;
  contents << in.rdbuf();
  if (in.bad()) invalid(path, "read failed");
  return parseAgentDefinition(contents.str(), path);
}

bool isValidLabel(std::string_view label) {
  if (label.empty() || label.size() > 200 || label.front() == '.') return false;
  for (char c : label) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

Target parseTarget(const std::string& text, bool wantsLabel) {
  const std::string usage = wantsLabel ? "gui/<uid>/<label>" : "gui/<uid>";
  if (text.rfind("gui/", 0) != 0) throw LaunchError(kExitUsage, "Unrecognized target specifier \"" + text + "\"; expected " + usage);
  std::string rest = text.substr(4);
  std::string uidText = rest.substr(0, rest.find('/'));
  Target target;
  unsigned long uid = 0;
  auto [end, ec] = std::from_chars(uidText.data(), uidText.data() + uidText.size(), uid);
  if (uidText.empty() || ec != std::errc() || end != uidText.data() + uidText.size())
    throw LaunchError(kExitUsage, "Unrecognized target specifier \"" + text + "\"; expected " + usage);
  target.uid = static_cast<uid_t>(uid);
  if (rest.size() > uidText.size()) target.label = rest.substr(uidText.size() + 1);
  if (wantsLabel != !target.label.empty() || (wantsLabel && !isValidLabel(target.label)))
    throw LaunchError(kExitUsage, "Unrecognized target specifier \"" + text + "\"; expected " + usage);
  if (target.uid != getuid())
    throw LaunchError(kExitNotPermitted, "Domain gui/" + uidText + " belongs to another user: Operation not permitted");
  return target;
}

}  // namespace tidewell::launch
