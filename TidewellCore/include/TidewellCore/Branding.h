#pragma once
// The product's display names and the names of its data folder and plug-in bundle,
// current and from the earlier product line.

#include <array>
#include <string_view>

namespace tidewell::Branding {

inline constexpr std::string_view productName = "Tidewell";
inline constexpr std::string_view manufacturerName = "Tidewell";
inline constexpr std::string_view dataDirectoryName = "Tidewell";
// The installed bundle is this name with ".driver" appended.
inline constexpr std::string_view driverBundleBasename = "TidewellHAL";
inline constexpr std::string_view legacyDataDirectoryName = "Zellvane";
inline constexpr std::array<std::string_view, 1> legacyDriverBundleBasenames = {"ZellvaneHAL"};

}  // namespace tidewell::Branding
