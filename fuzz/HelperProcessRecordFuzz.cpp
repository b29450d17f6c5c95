// The record of started helpers as the service reads it at its next start, to end the
// helpers an earlier instance left behind. Only the reading is driven here, never the
// ending: the input is the file's contents. What is read must be written back and read
// again unchanged, since the service rewrites the record from what it holds.
#include "TidewellCore/HelperProcessRecord.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::filesystem::path gFolder;

void RemoveFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(gFolder, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gFolder.empty()) {
        gFolder = std::filesystem::temp_directory_path() / ("twfuzz-helpers-" + std::to_string(getpid()));
        std::filesystem::create_directories(gFolder);
        std::atexit(RemoveFolder);
    }
    const auto file = gFolder / "helpers";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out) {
            std::perror("fuzz: cannot write the record");
            std::exit(2);
        }
    }
    const auto entries = tidewell::HelperProcessRecord::read(file);
    for (const auto& entry : entries)
        if (entry.executable.empty()) std::abort();
    if (!tidewell::HelperProcessRecord::write(file, entries)) {
        std::perror("fuzz: cannot rewrite the record");
        std::exit(2);
    }
    if (tidewell::HelperProcessRecord::read(file) != entries) {
        std::fprintf(stderr, "the record changed when written and read again\n");
        std::abort();
    }
    return 0;
}
