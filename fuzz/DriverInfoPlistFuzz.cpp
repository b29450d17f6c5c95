// The driver bundle's Info.plist as the application reads it to compare the installed
// plug-in with its own copy (version and content hash). The input is the file's contents,
// written into a bundle folder of this process's own.
#include "TidewellApp/DriverInstaller.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::filesystem::path gBundle;

void RemoveBundle() {
    std::error_code ignored;
    std::filesystem::remove_all(gBundle, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gBundle.empty()) {
        gBundle = std::filesystem::temp_directory_path() / ("twfuzz-bundle-" + std::to_string(getpid()) + ".driver");
        std::filesystem::create_directories(gBundle / "Contents");
        std::atexit(RemoveBundle);
    }
    {
        std::ofstream out(gBundle / "Contents" / "Info.plist", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out) {
            std::perror("fuzz: cannot write Info.plist");
            std::exit(2);
        }
    }
    const QString bundle = QString::fromStdString(gBundle.string());
    (void)tidewell::DriverInstaller::infoPlist(bundle);
    (void)tidewell::DriverInstaller::version(bundle);
    (void)tidewell::DriverInstaller::contentHash(bundle);
    return 0;
}
