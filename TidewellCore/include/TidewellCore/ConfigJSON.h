#pragma once
// The JSON text of the configuration document, shared by every writer and reader of the file.
//
// The writer is pretty-printed, sorts keys and leaves "/" unescaped; it refuses non-finite
// numbers. The reader matches keys exactly, ignores unknown members, fills the documented
// defaults and fails with a typed DecodingError that names the failing path.

#include <stdexcept>
#include <string>
#include <string_view>

#include "TidewellCore/ConfigModel.h"

namespace tidewell {

struct ValidationIssue;
struct ValidationResult;

class DecodingError : public std::exception {
 public:
  enum class Kind {
    keyNotFound,    // a required member is missing
    valueNotFound,  // a required member is null
    typeMismatch,   // a value of the wrong JSON type
    dataCorrupted,  // not JSON, a bad enumeration text, or a number that does not fit
  };
  DecodingError(Kind kind, std::string codingPath, std::string detail);
  Kind kind() const noexcept { return kind_; }
  // Dotted path of the failing value, e.g. "devices[0].sources[1].type"; empty for the document.
  const std::string& codingPath() const noexcept { return codingPath_; }
  const std::string& detail() const noexcept { return detail_; }
  const char* what() const noexcept override { return message_.c_str(); }
  bool operator==(const DecodingError& other) const {
    return kind_ == other.kind_ && codingPath_ == other.codingPath_;
  }

 private:
  Kind kind_;
  std::string codingPath_;
  std::string detail_;
  std::string message_;
};

class EncodingError : public std::exception {
 public:
  enum class Kind {
    invalidValue,  // a non-finite number, or text that is not UTF-8
  };
  EncodingError(Kind kind, std::string codingPath, std::string detail);
  Kind kind() const noexcept { return kind_; }
  const std::string& codingPath() const noexcept { return codingPath_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  Kind kind_;
  std::string codingPath_;
  std::string message_;
};

class JSONEncoder {
 public:
  // The document writer: pretty-printed, sorted keys, slashes not escaped, UTF-8.
  static JSONEncoder tidewell() { return JSONEncoder(); }

  // Each throws EncodingError and produces no text when a value has no JSON form.
  std::string encode(const ConfigSnapshot& value) const;
  std::string encode(const UIState& value) const;
  std::string encode(const DeviceConfig& value) const;
  std::string encode(const SourceConfig& value) const;
  std::string encode(const SourceMetadata& value) const;
  std::string encode(const MonitorConfig& value) const;
  std::string encode(const Wire& value) const;
  std::string encode(const WireEndpoint& value) const;
  std::string encode(const ValidationResult& value) const;
  std::string encode(const ValidationIssue& value) const;
};

class JSONDecoder {
 public:
  static JSONDecoder tidewell() { return JSONDecoder(); }

  // Defined for every record of the document, the enumerations, ValidationResult and
  // ValidationIssue. Throws DecodingError.
  template <class T>
  T decode(std::string_view bytes) const;
};

}  // namespace tidewell
