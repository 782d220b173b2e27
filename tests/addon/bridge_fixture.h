#pragma once

// Locating the test bridge library (built beside the test programs) and
// copies of it under other names, for the addon's platform-layer tests.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vyn::addon::testing {

#ifdef _WIN32
inline constexpr const char* kBridgeFileName = "vyn_test_bridge.dll";
#else
inline constexpr const char* kBridgeFileName = "vyn_test_bridge.so";
#endif

inline std::filesystem::path own_folder() {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return std::filesystem::path(std::wstring(buffer, length)).parent_path();
#else
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
#endif
}

inline std::filesystem::path bridge_path() { return own_folder() / kBridgeFileName; }

inline std::string to_utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// A scratch folder, removed with everything in it when the test ends.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::u8string& name)
      : path_(std::filesystem::temp_directory_path() / std::filesystem::path(name)) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // A copy of the test bridge named stem plus the bridge's own extension.
  std::filesystem::path copy_bridge(const std::u8string& stem) const {
    std::filesystem::path copy = path_ / std::filesystem::path(stem);
    copy += bridge_path().extension();
    std::filesystem::copy_file(bridge_path(), copy,
                               std::filesystem::copy_options::overwrite_existing);
    return copy;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace vyn::addon::testing
