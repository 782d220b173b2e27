#include "logger/system_info/system_info.h"

#include <charconv>
#include <future>

#include "logger/system_info/output_parse.h"
#include "utils/profile_mask.h"
#include "utils/text.h"

namespace vyn {

namespace {

constexpr std::uint64_t kBytesPerMebibyte = 1024 * 1024;
constexpr std::uint64_t kBytesPerGibibyte = kBytesPerMebibyte * 1024;
// Windows 11 kept the 10.0 version number; only the build tells it apart.
constexpr std::uint32_t kFirstWindows11Build = 22000;

std::optional<std::uint32_t> parse_uint32(std::string_view t) {
  if (t.starts_with('+')) t.remove_prefix(1);
  if (t.empty() || t.front() < '0' || t.front() > '9') return {};
  std::uint32_t v = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc{} || end != t.data() + t.size()) return {};
  return v;
}

std::optional<std::string_view> usable_brand(std::string_view brand) {
  brand = trim_unicode_space(brand);
  if (brand.empty() || brand == "unknown") return {};
  return brand;
}

template <class T>
Fields json_or_null(const std::optional<T>& v) {
  return v ? Fields(*v) : Fields(nullptr);
}

// A cell's value with "never computed" folded into "no answer".
template <class T>
std::optional<T> flatten(const std::optional<std::optional<T>>& v) {
  return v ? *v : std::nullopt;
}

}  // namespace

std::string format_total_memory(std::uint64_t bytes) {
  const std::uint64_t mebibytes = bytes / kBytesPerMebibyte;
  if (bytes < kBytesPerGibibyte) return std::to_string(mebibytes) + "MB";
  // Tenths of a gibibyte, ties to even as printf rounds the exact quotient.
  std::uint64_t tenths = mebibytes * 10 / 1024;
  const std::uint64_t rest = mebibytes * 10 % 1024;
  if (rest * 2 > 1024 || (rest * 2 == 1024 && tenths % 2 == 1)) ++tenths;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "GB";
}

std::optional<std::string> install_drive_of(std::string_view install_dir) {
  if (install_dir.size() < 2 || install_dir[1] != ':') return {};
  const char c = install_dir[0];
  if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return {};
  return std::string(install_dir.substr(0, 2));
}

std::string choose_cpu_model(std::string_view whole, const std::vector<std::string>& logical) {
  if (auto b = usable_brand(whole)) return std::string(*b);
  if (!logical.empty())
    if (auto b = usable_brand(logical.front())) return std::string(*b);
  return std::string(kUnknownCpu);
}

std::string os_release_from(std::string_view build_text) {
  if (build_text.find("10.0") == std::string_view::npos) return std::string(build_text);
  constexpr std::string_view kBuild = "Build ";
  const auto at = build_text.find(kBuild);
  if (at == std::string_view::npos) return "Windows 10";
  const auto build = parse_uint32(first_word(build_text.substr(at + kBuild.size())));
  return build && *build >= kFirstWindows11Build ? "Windows 11" : "Windows 10";
}

std::string text_from_registry_bytes(std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  while (!units.empty() && units.back() == u'\0') units.pop_back();
  return utf16_to_utf8(units);
}

std::string fallback_device_type(bool is_arm, bool battery, bool touch) {
  if (!battery) return is_arm ? "ARM Desktop" : "Desktop";
  if (is_arm) return touch ? "Tablet/2-in-1" : "ARM Laptop";
  return touch ? "Laptop/2-in-1 with Touch" : "Laptop";
}

Fields system_info_json(const SystemInfo& i) {
  Fields j = Fields::object();
  j["platform"] = i.platform;
  j["osType"] = i.osType;
  j["osRelease"] = i.osRelease;
  j["arch"] = i.arch;
  j["cpuModel"] = i.cpuModel;
  j["cpuDetailedModel"] = i.cpuDetailedModel;
  j["cores"] = i.cores;
  j["gpuInfo"] = json_or_null(i.gpuInfo);
  j["totalMemory"] = i.totalMemory;
  j["installDir"] = i.installDir;
  j["installDrive"] = json_or_null(i.installDrive);
  j["userIsAdmin"] = i.userIsAdmin;
  j["deviceType"] = i.deviceType;
  j["touchSupport"] = i.touchSupport;
  j["batteryPresent"] = i.batteryPresent;
  j["systemManufacturer"] = json_or_null(i.systemManufacturer);
  j["systemModel"] = json_or_null(i.systemModel);
  j["isArmDevice"] = i.isArmDevice;
  j["isTabletMode"] = json_or_null(i.isTabletMode);
  return j;
}

Fields launcher_env_fields(std::optional<std::uint32_t> main_pid, const SystemInfo& info,
                           const std::optional<std::string>& user_profile) {
  SystemInfo masked = info;
  masked.installDir = mask_profile_in(info.installDir, user_profile);
  return Fields{{"mainPid", json_or_null(main_pid)}, {"env", system_info_json(masked)}};
}

std::optional<std::string> query_gpu_names(const CommandRunner& run) {
  const auto out =
      run(std::string(kWmic), {"path", "win32_VideoController", "get", "name", "/format:list"});
  return out ? parse_gpu_names(*out) : std::nullopt;
}

std::optional<std::string> query_cpu_details(const CommandRunner& run) {
  const auto out =
      run(std::string(kWmic), {"cpu", "get", "Name,Manufacturer,Architecture", "/format:list"});
  return out ? parse_cpu_details(*out) : std::nullopt;
}

std::optional<std::string> query_system_manufacturer(const CommandRunner& run) {
  const auto out =
      run(std::string(kWmic), {"computersystem", "get", "Manufacturer", "/format:list"});
  return out ? parse_first_value_except(*out, "Manufacturer", kPlaceholderManufacturer)
             : std::nullopt;
}

std::optional<std::string> query_system_model(const CommandRunner& run) {
  const auto out = run(std::string(kWmic), {"computersystem", "get", "Model", "/format:list"});
  return out ? parse_first_value_except(*out, "Model", kPlaceholderModel) : std::nullopt;
}

bool query_battery_present(const CommandRunner& run) {
  const auto out =
      run(std::string(kWmic), {"path", "Win32_Battery", "get", "Status", "/format:list"});
  return out && parse_battery_present(*out);
}

std::optional<std::string> query_chassis_device_type(const CommandRunner& run) {
  const auto out =
      run(std::string(kWmic), {"systemenclosure", "get", "ChassisTypes", "/format:list"});
  return out ? parse_chassis_device_type(*out) : std::nullopt;
}

std::optional<bool> query_touch_support(const CommandRunner& run) {
  const auto devices = run(
      std::string(kWmic),
      {"path", "Win32_PnPEntity", "where", "Name like '%touch%'", "get", "Name", "/format:list"});
  if (!devices) return {};
  if (has_touch_device(*devices)) return true;
  const auto metric = run(std::string(kPowerShell),
                          {"-NoProfile", "-Command",
                           "Get-WmiObject -Class Win32_SystemMetrics | Where-Object {$_.Name -eq "
                           "'SM_DIGITIZER'} | Select-Object -ExpandProperty Value"});
  if (!metric) return {};
  return digitizer_reports_touch(*metric);
}

std::optional<bool> query_tablet_mode(const CommandRunner& run) {
  const auto out =
      run(std::string(kReg), {"query",
                              "HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
                              "ImmersiveShell",
                              "/v", "TabletMode", "/t", "REG_DWORD"});
  return out ? parse_tablet_mode(*out) : std::nullopt;
}

WmicCells& process_wmic_cells() {
  static WmicCells cells;
  return cells;
}

SystemInfo collect_system_info_with(std::string install_dir, const MachineFacts& facts,
                                    const CommandRunner& run, WmicCells& cells) {
  // One thread per query: each mostly waits for its tool, so eight of them
  // cost nothing and no query queues behind another even on one core.
  const auto cached = [&run](auto& cell, auto query) {
    return std::async(std::launch::async, [&cell, query, &run] {
      return cell.get_or_compute([&] { return query(run); });
    });
  };
  auto gpu = cached(cells.gpu_names, query_gpu_names);
  auto cpu = cached(cells.cpu_details, query_cpu_details);
  auto manufacturer = cached(cells.system_manufacturer, query_system_manufacturer);
  auto model = cached(cells.system_model, query_system_model);
  auto battery = cached(cells.battery_present, query_battery_present);
  auto chassis = cached(cells.chassis_device_type, query_chassis_device_type);
  auto touch = cached(cells.touch_support, query_touch_support);
  auto tablet = std::async(std::launch::async, [&run] { return query_tablet_mode(run); });

  SystemInfo info;
  info.osRelease = os_release_from(facts.os_release_source);
  info.arch = std::string(kBuildArch);
  info.cpuModel = choose_cpu_model(facts.cpu_brand, facts.logical_cpu_brands);
  info.cores = facts.logical_cpus;
  info.totalMemory = format_total_memory(facts.total_memory_bytes);
  info.installDir = sanitize_utf8(install_dir);
  info.installDrive = install_drive_of(info.installDir);
  info.isArmDevice = info.arch == "arm";

  info.cpuDetailedModel = flatten(cpu.get()).value_or(info.cpuModel);
  info.gpuInfo = flatten(gpu.get());
  info.batteryPresent = battery.get().value_or(false);
  info.touchSupport = flatten(touch.get()).value_or(false);
  info.systemManufacturer = flatten(manufacturer.get());
  info.systemModel = flatten(model.get());
  info.isTabletMode = tablet.get();
  info.deviceType =
      flatten(chassis.get())
          .value_or(fallback_device_type(info.isArmDevice, info.batteryPresent, info.touchSupport));
  return info;
}

}  // namespace vyn
