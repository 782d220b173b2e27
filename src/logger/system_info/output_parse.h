#pragma once
// Reading the text that the machine-description tools print. Everything here
// works on the decoded output alone, so each rule can be checked against
// captured tool output without running a tool.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyn {

// The non-empty lines of a tool's output. A line ends at a line feed, and one
// carriage return right before it goes with it; wmic ends its lines with
// "\r\r\n", so its lines keep one trailing "\r" here, which the property-line
// rules trim away.
std::vector<std::string_view> split_output_lines(std::string_view output);

// Trims Unicode white space (not only ASCII) from either end of UTF-8 text.
std::string_view trim_unicode_space(std::string_view text);
std::string_view trim_unicode_space_end(std::string_view text);

// The first run of non-white-space characters, after any leading white space.
std::string_view first_word(std::string_view text);

// The value of a "Key=value" line for `key` (case-sensitive), trimmed; nullopt
// when the line is for another key or its value is blank.
std::optional<std::string_view> property_value(std::string_view line, std::string_view key);

// CPU query: the last Name, Manufacturer and Architecture each win; the
// manufacturer goes in front unless the name already holds it, and the ARM64
// architecture code is spelt out.
std::optional<std::string> parse_cpu_details(std::string_view output);

// GPU query: every Name property line as printed (prefix included), joined
// with "; ".
std::optional<std::string> parse_gpu_names(std::string_view output);

// The first value for `key` other than `placeholder`, the text firmware
// vendors leave when they never filled the field in.
std::optional<std::string> parse_first_value_except(std::string_view output, std::string_view key,
                                                    std::string_view placeholder);

inline constexpr std::string_view kPlaceholderManufacturer = "System manufacturer";
inline constexpr std::string_view kPlaceholderModel = "System Product Name";

// Battery query: any non-blank Status means a battery is fitted.
bool parse_battery_present(std::string_view output);

// Chassis query: the first ChassisTypes value that names a known kind.
std::optional<std::string> parse_chassis_device_type(std::string_view output);

// Touch query, first step: a Plug and Play device with "touch" in its name.
bool has_touch_device(std::string_view pnp_output);

// Touch query, second step: the digitizer metric as a positive 32-bit number.
bool digitizer_reports_touch(std::string_view powershell_output);

// Tablet query: the registry tool prints the DWORD in hex; 1 wins over 0.
std::optional<bool> parse_tablet_mode(std::string_view reg_output);

}  // namespace vyn
