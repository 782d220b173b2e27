// Any text as the output of the machine-description tools, through every
// reading rule. Beyond not crashing on it: the views handed back lie inside
// the text they came from, trimming takes only white space and is stable,
// a property value is never blank, and the answers stay within their sets.
//
// Input: a key, a NUL, a placeholder, a NUL, then the output. Without the two
// NULs the whole input is the output, read with the key "Name".

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logger/system_info/output_parse.h"

namespace {

void require(bool ok, const char* broken) {
  if (ok) return;
  std::fprintf(stderr, "tool output: %s\n", broken);
  std::abort();
}

bool inside(std::string_view part, std::string_view whole) {
  if (part.empty()) return true;
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

bool same_view(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || a.data() == b.data());
}

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void check_trim(std::string_view text) {
  const std::string_view t = vyn::trim_unicode_space(text);
  require(inside(t, text), "trimming left the text");
  require(same_view(vyn::trim_unicode_space(t), t), "trimming is not stable");
  require(t.empty() || (!is_ascii_space(t.front()) && !is_ascii_space(t.back())),
          "trimming left a blank at an end");
  if (!t.empty()) {
    // What was taken off is white space and nothing else.
    const auto lead = text.substr(0, static_cast<std::size_t>(t.data() - text.data()));
    const auto trail = text.substr(static_cast<std::size_t>(t.data() - text.data()) + t.size());
    require(vyn::trim_unicode_space(lead).empty() && vyn::trim_unicode_space(trail).empty(),
            "trimming took more than white space");
  }
  const std::string_view end_trimmed = vyn::trim_unicode_space_end(text);
  require(same_view(end_trimmed, text.substr(0, end_trimmed.size())),
          "end trimming moved the start");
  require(end_trimmed.size() >= t.size(), "end trimming took more than trimming");

  const std::string_view word = vyn::first_word(text);
  require(inside(word, text), "the first word lies outside the text");
  require(same_view(vyn::trim_unicode_space(word), word), "the first word has white space");
  for (char c : word) require(!is_ascii_space(c), "the first word holds a blank");
  require(t.empty() == word.empty(), "no first word in a text that is not blank");
  require(word.empty() || word.data() == t.data(), "the first word is not at the start");
}

// The digitizer metric read the long way: a sign, decimal digits, positive
// and within 32 bits.
bool positive_int32(std::string_view t) {
  if (t.starts_with('+')) t.remove_prefix(1);
  if (t.empty()) return false;
  std::uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > 0x7FFFFFFFu) return false;
  }
  return v > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view key = "Name", placeholder = vyn::kPlaceholderManufacturer, output = input;
  if (const auto a = input.find('\0'); a != std::string_view::npos) {
    if (const auto b = input.find('\0', a + 1); b != std::string_view::npos) {
      key = input.substr(0, a);
      placeholder = input.substr(a + 1, b - a - 1);
      output = input.substr(b + 1);
    }
  }

  // Lines: the non-empty ones, in order, each ended by a line feed (one
  // carriage return before it going with it) or by the end of the output.
  const std::vector<std::string_view> lines = vyn::split_output_lines(output);
  std::size_t next = 0;
  const char* const base = output.data();
  for (std::string_view line : lines) {
    require(!line.empty() && inside(line, output), "a line lies outside the output");
    const auto begin = static_cast<std::size_t>(line.data() - base);
    require(begin >= next, "lines overlap or go backwards");
    require(output.substr(next, begin - next).find_first_not_of("\r\n") == std::string_view::npos,
            "a line was skipped");
    require(line.find('\n') == std::string_view::npos, "a line holds a line feed");
    const std::string_view after = output.substr(begin + line.size());
    require(after.empty() || after.starts_with('\n') || after.starts_with("\r\n"),
            "a line ends elsewhere than at a line feed");
    next = begin + line.size();
  }
  const std::string_view rest = output.substr(next);
  for (std::size_t i = 0; i < rest.size(); ++i) {
    // Only empty lines (possibly a lone carriage return before a line feed)
    // may follow the last line.
    require(rest[i] == '\n' || (rest[i] == '\r' && i + 1 < rest.size() && rest[i + 1] == '\n'),
            "text after the last line");
  }

  check_trim(output);
  check_trim(key);
  bool any_status = false, any_name = false;
  for (std::string_view line : lines) {
    check_trim(line);
    for (std::string_view k : {key, std::string_view("Name"), std::string_view("Status")}) {
      const auto v = vyn::property_value(line, k);
      if (!v) continue;
      require(line.starts_with(k) && line.substr(k.size(), 1) == "=", "a value of another key");
      require(!v->empty() && inside(*v, line), "a blank value or one outside its line");
      require(same_view(vyn::trim_unicode_space(*v), *v), "a value with white space around it");
      if (k == "Status") any_status = true;
      if (k == "Name") any_name = true;
    }
  }

  const auto cpu = vyn::parse_cpu_details(output);
  require(cpu.has_value() == any_name, "a processor without a name, or a name not read");
  require(!cpu || !cpu->empty(), "an empty processor name");

  const auto gpus = vyn::parse_gpu_names(output);
  require(gpus.has_value() == any_name, "graphics names without a name line, or one missed");
  require(!gpus || gpus->starts_with("Name="), "graphics names without their prefix");

  const auto first = vyn::parse_first_value_except(output, key, placeholder);
  require(!first || (!first->empty() && *first != placeholder), "the placeholder or a blank value");

  require(vyn::parse_battery_present(output) == any_status, "the battery status misread");
  require(vyn::has_touch_device(output) == any_name, "the touch device misread");

  if (const auto chassis = vyn::parse_chassis_device_type(output))
    require(*chassis == "Desktop" || *chassis == "Laptop" || *chassis == "Tablet",
            "a device kind outside its set");

  require(vyn::digitizer_reports_touch(output) == positive_int32(vyn::trim_unicode_space(output)),
          "the digitizer metric misread");

  const auto tablet = vyn::parse_tablet_mode(output);
  if (output.find("0x1") != std::string_view::npos) {
    require(tablet == true, "tablet mode on not read");
  } else if (output.find("0x0") != std::string_view::npos) {
    require(tablet == false, "tablet mode off not read");
  } else {
    require(!tablet, "tablet mode read from nothing");
  }
  return 0;
}
