#include "verify/verify_config.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "utils/text.h"

namespace vyn {

namespace {

using json = nlohmann::json;

// Feeds the parser byte by byte and counts what it has pulled, which is how
// the decoder learns where an event happened: the SAX interface itself
// reports positions only for syntax errors.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* p, std::size_t* pulled) : p_(p), pulled_(pulled) {}
  reference operator*() const { return *p_; }
  CountingIterator& operator++() {
    ++p_;
    ++*pulled_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator old = *this;
    ++*this;
    return old;
  }
  bool operator==(const CountingIterator& o) const { return p_ == o.p_; }
  bool operator!=(const CountingIterator& o) const { return p_ != o.p_; }

 private:
  const char* p_;
  std::size_t* pulled_;
};

// The library reads a NUL byte outside a string as the end of its input and
// skips a byte-order mark before the value; neither is white space, so they
// are reported as the library reports any other stray byte.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kValueContext = "syntax error while parsing value - ";
constexpr std::string_view kNulRead = "invalid literal; last read: '<U+0000>'";
constexpr std::string_view kByteOrderMarkRead = "invalid literal; last read: '<U+FEFF>'";
constexpr std::string_view kLibraryEndOfInput = "unexpected end of input";

// A token or key as an error text quotes it: whole up to the limit, else
// its start, cut before a character that would not fit, and "...". Bytes that
// are not UTF-8 (the lexer may stop inside a character) become U+FFFD, so
// the text can be logged as it stands.
std::string quote_token(std::string_view token) {
  if (token.size() <= kConfigErrorQuoteLimit) return sanitize_utf8(token);
  std::size_t n = kConfigErrorQuoteLimit;
  for (int back = 0; back < 3 && n > 0 && (static_cast<unsigned char>(token[n]) & 0xC0) == 0x80;
       ++back)
    --n;
  return sanitize_utf8(token.substr(0, n)) + "...";
}

// Whether the parser, having read `pulled` bytes, stopped at a NUL byte.
bool ended_by_nul(std::string_view text, std::size_t pulled) {
  return pulled >= 1 && pulled <= text.size() && text[pulled - 1] == '\0';
}

// " at line L column C" for the character at byte `offset - 1`, the last one
// the parser had read (offset may be one past the end: end of input).
std::string position_suffix(std::string_view text, std::size_t offset) {
  const std::size_t at = offset == 0 ? 0 : std::min(offset - 1, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < at; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(at - line_start + 1);
}

enum class Record { Config, Asar };

struct FieldRule {
  const char* name;
  const char* expected;  // what the value must be, for the type error text
};

constexpr std::array<FieldRule, 2> kConfigFields{{
    {"version", "a string"},
    {"appAsar", "an object or array describing the archive"},
}};
constexpr std::array<FieldRule, 4> kAsarFields{{
    {"path", "a string"},
    {"sha256", "a string"},
    {"size", "a non-negative integer that fits in 64 bits"},
    {"buildTime", "a string"},
}};
constexpr int kUnknownField = -1;

std::size_t field_count(Record r) {
  return r == Record::Config ? kConfigFields.size() : kAsarFields.size();
}
const FieldRule& field_rule(Record r, int field) {
  return r == Record::Config ? kConfigFields[static_cast<std::size_t>(field)]
                             : kAsarFields[static_cast<std::size_t>(field)];
}

std::string record_values_text(Record r) {
  return r == Record::Config ? "version, appAsar" : "path, sha256, size, buildTime";
}

// One value as the handler sees it, before it knows where the value goes.
struct Value {
  enum Kind { Null, Boolean, Unsigned, Negative, Float, String, Object, Array } kind;
  std::uint64_t unsigned_value = 0;
  std::string* text = nullptr;       // String: the parser's buffer, moved out when kept
  const std::string* raw = nullptr;  // Float: the number as written
};

std::string describe(const Value& v) {
  switch (v.kind) {
    case Value::Null:
      return "null";
    case Value::Boolean:
      return "boolean";
    case Value::Unsigned:
      return "integer";
    case Value::Negative:
      return "negative integer";
    case Value::Float:
      if (v.raw && v.raw->find_first_of(".eE") == std::string::npos) return "integer out of range";
      return "number with a fraction or exponent";
    case Value::String:
      return "string";
    case Value::Object:
      return "object";
    case Value::Array:
      return "array";
  }
  return "value";
}

class ConfigHandler {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  ConfigHandler(std::string_view text, const std::size_t* pulled) : text_(text), pulled_(pulled) {}

  bool null() { return value(Value{Value::Null}); }
  bool boolean(bool) { return value(Value{Value::Boolean}); }
  bool number_integer(number_integer_t v) {
    // Only "-0" reaches here with a value that is not negative.
    if (v >= 0) return value(Value{Value::Unsigned, static_cast<std::uint64_t>(v)});
    return value(Value{Value::Negative});
  }
  bool number_unsigned(number_unsigned_t v) { return value(Value{Value::Unsigned, v}); }
  bool number_float(number_float_t, const string_t& raw) {
    Value v{Value::Float};
    v.raw = &raw;
    return value(v);
  }
  bool string(string_t& s) {
    Value v{Value::String};
    v.text = &s;
    return value(v);
  }
  bool binary(binary_t&) { return fail("unexpected binary value"); }
  bool start_object(std::size_t) { return value(Value{Value::Object}); }
  bool start_array(std::size_t) { return value(Value{Value::Array}); }

  bool key(string_t& k) {
    if (skip_depth_ > 0) return true;
    Frame& f = stack_.back();
    if (!f.keys.insert(k).second) return fail("duplicate field `" + quote_token(k) + "`");
    f.pending = kUnknownField;
    for (std::size_t i = 0; i < field_count(f.record); ++i) {
      if (k == field_rule(f.record, static_cast<int>(i)).name) f.pending = static_cast<int>(i);
    }
    return true;
  }

  bool end_object() { return end_container(); }
  bool end_array() { return end_container(); }

  bool parse_error(std::size_t position, const std::string& last_token,
                   const nlohmann::detail::exception& e) {
    // The library's text starts with its own id and, for a syntax error,
    // its position; keep the description and put the position where every
    // other error has it.
    std::string what = e.what();
    const std::size_t id_end = what.find("] ");
    if (what.rfind("[json.exception.", 0) == 0 && id_end != std::string::npos)
      what.erase(0, id_end + 2);
    const std::size_t colon = what.find(": ");
    if (what.rfind("parse error", 0) == 0 && colon != std::string::npos) what.erase(0, colon + 2);
    // It quotes the token it stopped in whole ("last read: '...'", "number
    // overflow parsing '...'"), which can be most of the text.
    const std::size_t quote = what.find("'" + last_token + "'");
    if (quote != std::string::npos)
      what.replace(quote + 1, last_token.size(), quote_token(last_token));
    // A NUL byte it takes for the end of the text; that text quotes nothing.
    const std::size_t end = what.find(kLibraryEndOfInput);
    if (quote == std::string::npos && end != std::string::npos && ended_by_nul(text_, position))
      what.replace(end, kLibraryEndOfInput.size(), kNulRead);
    error_ = what + position_suffix(text_, position);
    return false;
  }

  std::optional<std::string>& error() { return error_; }
  AppVerifyConfig& result() { return result_; }

 private:
  struct Frame {
    Record record = Record::Config;
    bool is_array = false;
    std::size_t next_index = 0;   // arrays: values seen so far
    int pending = kUnknownField;  // objects: the field the next value belongs to
    unsigned seen = 0;            // bit per field
    std::set<std::string> keys;
  };

  // Where the last token ended: a number is only known to end when the
  // parser has read the byte after it, so step back over that byte.
  std::size_t token_end(bool is_number) const {
    std::size_t end = *pulled_;
    if (is_number && end > 0 && end <= text_.size()) {
      const char c = text_[end - 1];
      const bool number_char =
          (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
      if (!number_char) --end;
    }
    return end;
  }

  bool fail(std::string message, bool is_number = false) {
    error_ = message + position_suffix(text_, token_end(is_number));
    return false;
  }

  bool value(const Value& v) {
    const bool is_number =
        v.kind == Value::Unsigned || v.kind == Value::Negative || v.kind == Value::Float;
    const bool opens = v.kind == Value::Object || v.kind == Value::Array;
    if (skip_depth_ > 0) {
      if (opens) ++skip_depth_;
      return true;
    }
    if (stack_.empty()) {
      if (!opens)
        return fail("invalid type: " + describe(v) +
                        ", expected an object or array describing the configuration",
                    is_number);
      push(Record::Config, v.kind == Value::Array);
      return true;
    }
    Frame& f = stack_.back();
    int field;
    if (f.is_array) {
      if (f.next_index >= field_count(f.record))
        return fail("invalid length, expected " + std::to_string(field_count(f.record)) +
                        " values (" + record_values_text(f.record) + ")",
                    is_number);
      field = static_cast<int>(f.next_index++);
    } else {
      field = f.pending;
      f.pending = kUnknownField;
      if (field == kUnknownField) {
        if (opens) skip_depth_ = 1;
        return true;
      }
    }
    f.seen |= 1u << field;
    const Record record = f.record;  // push() below may move f
    return assign(record, field, v, is_number);
  }

  bool assign(Record record, int field, const Value& v, bool is_number) {
    const FieldRule& rule = field_rule(record, field);
    auto type_error = [&] {
      return fail("invalid type for \"" + std::string(rule.name) + "\": " + describe(v) +
                      ", expected " + rule.expected,
                  is_number);
    };
    if (record == Record::Config && field == 1) {
      if (v.kind != Value::Object && v.kind != Value::Array) return type_error();
      push(Record::Asar, v.kind == Value::Array);
      return true;
    }
    if (record == Record::Asar && field == 2) {
      if (v.kind != Value::Unsigned) return type_error();
      result_.app_asar.size = v.unsigned_value;
      return true;
    }
    if (v.kind != Value::String) return type_error();
    std::string& target = record == Record::Config ? result_.version
                          : field == 0             ? result_.app_asar.path
                          : field == 1             ? result_.app_asar.sha256
                                                   : result_.app_asar.build_time;
    target = std::move(*v.text);
    return true;
  }

  void push(Record r, bool is_array) {
    Frame f;
    f.record = r;
    f.is_array = is_array;
    stack_.push_back(std::move(f));
  }

  bool end_container() {
    if (skip_depth_ > 0) {
      --skip_depth_;
      return true;
    }
    const Frame& f = stack_.back();
    const std::size_t n = field_count(f.record);
    if (f.is_array && f.next_index != n)
      return fail("invalid length " + std::to_string(f.next_index) + ", expected " +
                  std::to_string(n) + " values (" + record_values_text(f.record) + ")");
    for (std::size_t i = 0; i < n; ++i) {
      if (!(f.seen & (1u << i)))
        return fail("missing field `" +
                    std::string(field_rule(f.record, static_cast<int>(i)).name) + "`");
    }
    stack_.pop_back();
    return true;
  }

  std::string_view text_;
  const std::size_t* pulled_;
  std::vector<Frame> stack_;
  std::size_t skip_depth_ = 0;  // nesting inside a skipped value
  AppVerifyConfig result_;
  std::optional<std::string> error_;
};

}  // namespace

std::variant<AppVerifyConfig, std::string> parse_verify_config(std::string_view text) {
  if (text.starts_with(kByteOrderMark))
    return std::string(kValueContext) + std::string(kByteOrderMarkRead) + position_suffix(text, 1);
  std::size_t pulled = 0;
  ConfigHandler handler(text, &pulled);
  const CountingIterator first(text.data(), &pulled);
  const CountingIterator last(text.data() + text.size(), &pulled);
  const bool ok = json::sax_parse(first, last, &handler, json::input_format_t::json,
                                  /*strict=*/true, /*ignore_comments=*/false);
  if (!ok || handler.error()) {
    if (!handler.error())
      return std::string("invalid configuration") + position_suffix(text, pulled);
    return std::move(*handler.error());
  }
  if (ended_by_nul(text, pulled))
    return std::string(kValueContext) + std::string(kNulRead) + "; expected end of input" +
           position_suffix(text, pulled);
  return std::move(handler.result());
}

std::string serialize_verify_config(const AppVerifyConfig& config) {
  nlohmann::ordered_json asar = nlohmann::ordered_json::object();
  asar["path"] = config.app_asar.path;
  asar["sha256"] = config.app_asar.sha256;
  asar["size"] = config.app_asar.size;
  asar["buildTime"] = config.app_asar.build_time;
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  j["version"] = config.version;
  j["appAsar"] = std::move(asar);
  return j.dump(2) + "\n";
}

}  // namespace vyn
