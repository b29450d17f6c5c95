// The configuration document as the service and the application load it: read through the
// store (decode, then migration), validated, and, when it decodes, written back and read
// again. A document that loads must come back from its own save unchanged, or a save
// would alter what the user has.
#include "TidewellCore/ConfigJSON.h"
#include "TidewellCore/ConfigStore.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// A file manager whose one file holds the fuzz input.
class InputFile final : public tidewell::FileManager {
 public:
  std::string bytes;
  bool fileExists(const std::filesystem::path&) override { return true; }
  std::string readFile(const std::filesystem::path&) override { return bytes; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto file = std::make_shared<InputFile>();
  file->bytes.assign(reinterpret_cast<const char*>(data), size);
  const tidewell::ConfigStore store("/fuzz/config.json", file);
  tidewell::ConfigSnapshot snapshot;
  try {
    snapshot = store.load();
  } catch (const tidewell::DecodingError&) {
    return 0;
  }
  const tidewell::ValidationResult result = store.validator.validate(snapshot);
  // The validation result is itself written as JSON for the user (the service's report).
  (void)tidewell::JSONEncoder::tidewell().encode(result);

  std::string saved;
  try {
    saved = tidewell::JSONEncoder::tidewell().encode(snapshot);
  } catch (const tidewell::EncodingError&) {
    return 0;  // text that is not UTF-8 is refused on save, with nothing written
  }
  file->bytes = saved;
  const tidewell::ConfigSnapshot again = store.load();
  if (!(again == snapshot)) {
    std::fprintf(stderr, "a loaded document changed when saved and loaded again\n");
    std::abort();
  }
  return 0;
}
