#include "logger/system_info/output_parse.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <utility>

namespace vyn {

namespace {

// UTF-8 forms of the Unicode White_Space characters beyond ASCII.
constexpr std::array<std::string_view, 17> kWideSpaces = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF",
};
constexpr std::string_view kMediumMathSpace = "\xE2\x81\x9F";
constexpr std::string_view kIdeographicSpace = "\xE3\x80\x80";

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

template <class Match>
std::size_t space_length(Match&& matches) {
  for (auto s : kWideSpaces)
    if (matches(s)) return s.size();
  if (matches(kMediumMathSpace)) return kMediumMathSpace.size();
  if (matches(kIdeographicSpace)) return kIdeographicSpace.size();
  return 0;
}

std::size_t leading_space(std::string_view t) {
  if (t.empty()) return 0;
  if (is_ascii_space(t.front())) return 1;
  return space_length([&](std::string_view s) { return t.starts_with(s); });
}

std::size_t trailing_space(std::string_view t) {
  if (t.empty()) return 0;
  if (is_ascii_space(t.back())) return 1;
  return space_length([&](std::string_view s) { return t.ends_with(s); });
}

// Walks the property lines for one key, in output order.
template <class F>
void for_each_value(std::string_view output, std::string_view key, F&& f) {
  for (auto line : split_output_lines(output))
    if (auto v = property_value(line, key)) f(line, *v);
}

struct ChassisKind {
  std::string_view code;
  std::string_view kind;
};

// Win32_SystemEnclosure ChassisTypes codes that say plainly what the machine
// is; the others (docking stations, blades, "Other") leave it to the
// battery-and-touch guess.
constexpr std::array<ChassisKind, 14> kChassisKinds = {{
    {"3", "Desktop"},
    {"4", "Desktop"},
    {"5", "Desktop"},
    {"6", "Desktop"},
    {"7", "Desktop"},
    {"15", "Desktop"},
    {"16", "Desktop"},
    {"8", "Laptop"},
    {"9", "Laptop"},
    {"10", "Laptop"},
    {"14", "Laptop"},
    {"30", "Tablet"},
    {"31", "Tablet"},
    {"32", "Tablet"},
}};

// Signed 32-bit decimal with an optional sign and nothing else.
std::optional<std::int32_t> parse_int32(std::string_view t) {
  const bool plus = t.starts_with('+');
  if (plus) t.remove_prefix(1);
  if (t.empty() || !((!plus && t.front() == '-') || (t.front() >= '0' && t.front() <= '9')))
    return {};
  std::int32_t v = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc{} || end != t.data() + t.size()) return {};
  return v;
}

}  // namespace

std::vector<std::string_view> split_output_lines(std::string_view output) {
  std::vector<std::string_view> lines;
  while (!output.empty()) {
    const auto lf = output.find('\n');
    std::string_view line = output.substr(0, lf);
    if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    if (!line.empty()) lines.push_back(line);
    if (lf == std::string_view::npos) break;
    output.remove_prefix(lf + 1);
  }
  return lines;
}

std::string_view trim_unicode_space_end(std::string_view text) {
  for (auto n = trailing_space(text); n != 0; n = trailing_space(text)) text.remove_suffix(n);
  return text;
}

std::string_view trim_unicode_space(std::string_view text) {
  for (auto n = leading_space(text); n != 0; n = leading_space(text)) text.remove_prefix(n);
  return trim_unicode_space_end(text);
}

std::string_view first_word(std::string_view text) {
  text = trim_unicode_space(text);
  // White space never starts on a continuation byte, so every offset can be
  // tried as is.
  for (std::size_t i = 0; i < text.size(); ++i)
    if (leading_space(text.substr(i)) != 0) return text.substr(0, i);
  return text;
}

std::optional<std::string_view> property_value(std::string_view line, std::string_view key) {
  if (!line.starts_with(key) || line.substr(key.size(), 1) != "=") return {};
  if (trim_unicode_space_end(line).ends_with('=')) return {};
  return trim_unicode_space(line.substr(key.size() + 1));
}

std::optional<std::string> parse_cpu_details(std::string_view output) {
  std::optional<std::string_view> name, manufacturer, architecture;
  for (auto line : split_output_lines(output)) {
    if (auto v = property_value(line, "Name")) name = v;
    if (auto v = property_value(line, "Manufacturer")) manufacturer = v;
    if (auto v = property_value(line, "Architecture")) architecture = v;
  }
  if (!name) return {};
  std::string text(*name);
  if (manufacturer && name->find(*manufacturer) == std::string_view::npos)
    text = std::string(*manufacturer) + " " + text;
  // Win32_Processor Architecture 12 is ARM64.
  if (architecture == "12") text += " (ARM64)";
  return text;
}

std::optional<std::string> parse_gpu_names(std::string_view output) {
  std::optional<std::string> joined;
  for_each_value(output, "Name", [&](std::string_view line, std::string_view) {
    if (joined) {
      *joined += "; ";
      *joined += line;
    } else {
      joined.emplace(line);
    }
  });
  return joined;
}

std::optional<std::string> parse_first_value_except(std::string_view output, std::string_view key,
                                                    std::string_view placeholder) {
  for (auto line : split_output_lines(output))
    if (auto v = property_value(line, key); v && *v != placeholder) return std::string(*v);
  return {};
}

bool parse_battery_present(std::string_view output) {
  bool found = false;
  for_each_value(output, "Status", [&](std::string_view, std::string_view) { found = true; });
  return found;
}

std::optional<std::string> parse_chassis_device_type(std::string_view output) {
  for (auto line : split_output_lines(output)) {
    const auto v = property_value(line, "ChassisTypes");
    if (!v) continue;
    for (const auto& k : kChassisKinds)
      if (k.code == *v) return std::string(k.kind);
  }
  return {};
}

bool has_touch_device(std::string_view pnp_output) {
  bool found = false;
  for_each_value(pnp_output, "Name", [&](std::string_view, std::string_view) { found = true; });
  return found;
}

bool digitizer_reports_touch(std::string_view powershell_output) {
  const auto v = parse_int32(trim_unicode_space(powershell_output));
  return v && *v > 0;
}

std::optional<bool> parse_tablet_mode(std::string_view reg_output) {
  if (reg_output.find("0x1") != std::string_view::npos) return true;
  if (reg_output.find("0x0") != std::string_view::npos) return false;
  return {};
}

}  // namespace vyn
