// Any text as the decrypted verification configuration, through the decoder
// and the checks on decrypted bytes. An accepted text must hold the decoded
// values where a plain JSON reading finds them and must read back the same
// from what the sealing tool would write for it; a rejected one must say
// where, at a line and column that exist in the text, in a short text that
// can be logged as it stands however long the token it quotes. The padding
// and UTF-8 checks run on the same bytes.
//
// Input: the decrypted bytes.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "utils/text.h"
#include "verify/verify_config.h"

namespace {

using json = nlohmann::json;

void require(bool ok, const char* broken) {
  if (ok) return;
  std::fprintf(stderr, "verification configuration: %s\n", broken);
  std::abort();
}

std::optional<std::size_t> number(std::string_view s) {
  std::size_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// Room for the longest wording, a bounded quote and the position.
constexpr std::size_t kMaxErrorLength = 400;

// " at line L column C" at the end, naming a character of the text or the
// place just after it.
void check_error(const std::string& error, std::string_view text) {
  require(vyn::is_valid_utf8(error), "an error text is not valid UTF-8");
  require(error.size() <= kMaxErrorLength, "an error text grows with the text");
  constexpr std::string_view kLine = " at line ";
  constexpr std::string_view kColumn = " column ";
  const std::size_t at = error.rfind(kLine);
  require(at != std::string::npos && at > 0, "an error without its position");
  const std::string_view where = std::string_view(error).substr(at + kLine.size());
  const std::size_t gap = where.find(kColumn);
  require(gap != std::string_view::npos, "an error position without a column");
  const auto line = number(where.substr(0, gap));
  const auto column = number(where.substr(gap + kColumn.size()));
  require(line && column && *line >= 1 && *column >= 1, "an error position out of the text");
  std::size_t start = 0;
  for (std::size_t l = 1; l < *line; ++l) {
    const std::size_t lf = text.find('\n', start);
    require(lf != std::string_view::npos, "an error line beyond the text");
    start = lf + 1;
  }
  const std::size_t offset = start + *column - 1;
  require(offset <= text.size(), "an error column beyond the text");
  require(text.substr(start, offset - start).find('\n') == std::string_view::npos,
          "an error column beyond its line");
}

// A record's value by name, or by place when the record is written as an
// array.
const json* field(const json& record, const char* name, std::size_t index) {
  if (record.is_object()) {
    const auto it = record.find(name);
    return it == record.end() ? nullptr : &*it;
  }
  if (record.is_array() && index < record.size()) return &record[index];
  return nullptr;
}

bool holds_text(const json* v, const std::string& expected) {
  return v && v->is_string() && v->get_ref<const std::string&>() == expected;
}

void check_accepted(const vyn::AppVerifyConfig& config, std::string_view text) {
  const json doc = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  require(!doc.is_discarded(), "accepted a text that is no JSON");
  // The library itself stops at a NUL byte and skips a byte-order mark.
  require(text.find('\0') == std::string_view::npos, "accepted a text holding a NUL byte");
  require(!text.starts_with("\xEF\xBB\xBF"), "accepted a text behind a byte-order mark");
  require(holds_text(field(doc, "version", 0), config.version), "the version is not the text's");
  const json* asar = field(doc, "appAsar", 1);
  require(asar && (asar->is_object() || asar->is_array()), "no archive record in the text");
  require(holds_text(field(*asar, "path", 0), config.app_asar.path) &&
              holds_text(field(*asar, "sha256", 1), config.app_asar.sha256) &&
              holds_text(field(*asar, "buildTime", 3), config.app_asar.build_time),
          "an archive field is not the text's");
  const json* size = field(*asar, "size", 2);
  // "-0" reads as a signed zero.
  require(size && size->is_number_integer() &&
              (size->is_number_unsigned() || size->get<std::int64_t>() == 0) &&
              size->get<std::uint64_t>() == config.app_asar.size,
          "the size is not the text's");

  const auto again = vyn::parse_verify_config(vyn::serialize_verify_config(config));
  require(std::holds_alternative<vyn::AppVerifyConfig>(again) &&
              std::get<vyn::AppVerifyConfig>(again) == config,
          "what the sealing tool writes does not read back");
}

void check_bytes(std::string_view bytes) {
  const auto invalid = vyn::describe_invalid_utf8(bytes);
  require(invalid.has_value() != vyn::is_valid_utf8(bytes), "the two UTF-8 checks disagree");
  if (invalid) {
    const std::size_t from = invalid->rfind("from index ");
    require(from != std::string::npos, "an invalid UTF-8 text without its index");
    const auto index = number(std::string_view(*invalid).substr(from + 11));
    require(index && *index < bytes.size(), "an invalid UTF-8 index out of the text");
    require(vyn::is_valid_utf8(bytes.substr(0, *index)), "the index is not the first fault");
    require(static_cast<unsigned char>(bytes[*index]) >= 0x80, "the index names an ASCII byte");
  }

  const std::string padded = vyn::pkcs7_pad(bytes);
  require(padded.size() % vyn::kAesBlockSize == 0 && padded.size() > bytes.size() &&
              padded.size() <= bytes.size() + vyn::kAesBlockSize,
          "padding not to the next whole block");
  std::string unpadded = padded;
  require(vyn::pkcs7_unpad(unpadded) && unpadded == bytes, "padding does not come off again");

  std::string text(bytes);
  if (vyn::pkcs7_unpad(text)) {
    const std::size_t n = bytes.size() - text.size();
    require(n >= 1 && n <= vyn::kAesBlockSize && bytes.starts_with(text),
            "unpadding took something else than the padding");
    for (std::size_t i = text.size(); i < bytes.size(); ++i)
      require(static_cast<unsigned char>(bytes[i]) == n, "unpadding took a byte that is no pad");
  } else {
    require(text == bytes, "a failed unpadding changed the text");
  }

  const std::string_view shown = vyn::expected_digest_prefix(bytes);
  require(bytes.starts_with(shown) && (shown.size() == 16 || shown.size() == bytes.size()),
          "the shown digest is not its start");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto result = vyn::parse_verify_config(text);
  if (const auto* error = std::get_if<std::string>(&result)) {
    check_error(*error, text);
  } else {
    check_accepted(std::get<vyn::AppVerifyConfig>(result), text);
  }
  check_bytes(text);
  return 0;
}
