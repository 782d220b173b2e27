#include "verify/verify_config.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace vyn {
namespace {

const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

std::string config_json(const std::string& asar_body, const std::string& outer_extra = "") {
  return "{\"version\":\"3.0.0\"," + outer_extra + "\"appAsar\":{" + asar_body + "}}";
}

std::string asar_body(const std::string& size = "1234", const std::string& extra = "") {
  return "\"path\":\"resources/app.asar\",\"sha256\":\"" + kDigest + "\",\"size\":" + size + "," +
         extra + "\"buildTime\":\"2026-12-01T10:00:00Z\"";
}

AppVerifyConfig expected_config(std::uint64_t size = 1234) {
  return AppVerifyConfig{"3.0.0", {"resources/app.asar", kDigest, size, "2026-12-01T10:00:00Z"}};
}

std::string error_of(const std::string& text) {
  auto r = parse_verify_config(text);
  if (auto* e = std::get_if<std::string>(&r)) return *e;
  return "<accepted>";
}

TEST(ParseVerifyConfig, AcceptsTheRecordAndKeepsEveryField) {
  auto r = parse_verify_config(" \n" + config_json(asar_body()) + "\r\n\t ");
  ASSERT_TRUE(std::holds_alternative<AppVerifyConfig>(r)) << std::get<std::string>(r);
  EXPECT_EQ(std::get<AppVerifyConfig>(r), expected_config());
}

TEST(ParseVerifyConfig, SkipsUnknownKeysWhateverTheirValues) {
  const std::string odd = R"("comment":{"a":[1,{"b":null}],"a":true},"n":-1.5e3,"s":"x",)";
  auto r = parse_verify_config(config_json(asar_body("1234", odd), odd));
  ASSERT_TRUE(std::holds_alternative<AppVerifyConfig>(r)) << std::get<std::string>(r);
  EXPECT_EQ(std::get<AppVerifyConfig>(r), expected_config());
}

TEST(ParseVerifyConfig, KeysAreCaseSensitive) {
  std::string text = config_json(asar_body());
  text.replace(text.find("buildTime"), 9, "BuildTime");
  EXPECT_EQ(error_of(text).rfind("missing field `buildTime` at line 1 column ", 0), 0u)
      << error_of(text);
}

TEST(ParseVerifyConfig, SizeCoversTheWholeUnsigned64BitRange) {
  auto r = parse_verify_config(config_json(asar_body("18446744073709551615")));
  ASSERT_TRUE(std::holds_alternative<AppVerifyConfig>(r));
  EXPECT_EQ(std::get<AppVerifyConfig>(r).app_asar.size, 18446744073709551615ull);
  r = parse_verify_config(config_json(asar_body("0")));
  ASSERT_TRUE(std::holds_alternative<AppVerifyConfig>(r));
  EXPECT_EQ(std::get<AppVerifyConfig>(r).app_asar.size, 0u);
}

TEST(ParseVerifyConfig, RejectsSizeThatIsNotANonNegative64BitInteger) {
  for (const char* size :
       {"\"1234\"", "-1", "1.0", "1e3", "18446744073709551616", "null", "true", "[1]", "{}"}) {
    const std::string e = error_of(config_json(asar_body(size)));
    EXPECT_EQ(e.rfind("invalid type for \"size\": ", 0), 0u) << size << ": " << e;
    EXPECT_NE(e.find(" at line 1 column "), std::string::npos) << e;
  }
}

TEST(ParseVerifyConfig, PointsAtTheOffendingValue) {
  // "size" written on line 3 as -7: the error names the last byte of -7.
  const std::string text =
      "{\"version\":\"1\",\n\"appAsar\":{\"path\":\"p\",\"sha256\":\"s\",\n  \"size\": -7 ,"
      "\"buildTime\":\"t\"}}";
  EXPECT_EQ(error_of(text),
            "invalid type for \"size\": negative integer, expected a non-negative integer that "
            "fits in 64 bits at line 3 column 12");
  // A string value ends at its closing quote.
  EXPECT_EQ(error_of("{\"version\": 5}"),
            "invalid type for \"version\": integer, expected a string at line 1 column 13");
  EXPECT_EQ(error_of("{\"version\": \"abc\"}"), "missing field `appAsar` at line 1 column 18");
}

TEST(ParseVerifyConfig, RejectsMissingKeysAtEitherLevel) {
  EXPECT_EQ(error_of("{\"appAsar\":{" + asar_body() + "}}").rfind("missing field `version`", 0),
            0u);
  std::string no_build_time = asar_body();
  no_build_time.erase(no_build_time.find(",\"buildTime\""));
  const std::string e = error_of(config_json(no_build_time));
  EXPECT_EQ(e.rfind("missing field `buildTime` at line 1 column ", 0), 0u) << e;
}

TEST(ParseVerifyConfig, RejectsARepeatedKey) {
  const std::string text = config_json(asar_body("1234", "\"size\":5,"));
  const std::string e = error_of(text);
  EXPECT_EQ(
      e, "duplicate field `size` at line 1 column " + std::to_string(text.find("\"size\":5") + 6));
  EXPECT_EQ(error_of(config_json(asar_body(), "\"version\":\"x\","))
                .rfind("duplicate field `version`", 0),
            0u);
  EXPECT_EQ(error_of(config_json(asar_body(), "\"x\":1,\"x\":2,")).rfind("duplicate field `x`", 0),
            0u);
}

TEST(ParseVerifyConfig, AcceptsRecordsWrittenAsArrays) {
  const std::string asar_array =
      "[\"resources/app.asar\",\"" + kDigest + "\",1234,\"2026-12-01T10:00:00Z\"]";
  for (const std::string& text :
       {"[\"3.0.0\"," + asar_array + "]", "{\"version\":\"3.0.0\",\"appAsar\":" + asar_array + "}",
        "[\"3.0.0\",{" + asar_body() + "}]"}) {
    auto r = parse_verify_config(text);
    ASSERT_TRUE(std::holds_alternative<AppVerifyConfig>(r)) << text;
    EXPECT_EQ(std::get<AppVerifyConfig>(r), expected_config());
  }
}

TEST(ParseVerifyConfig, RejectsArraysWithAnotherNumberOfValues) {
  EXPECT_EQ(error_of("[\"3.0.0\"]"),
            "invalid length 1, expected 2 values (version, appAsar) at line 1 column 9");
  EXPECT_EQ(error_of("[\"3.0.0\",[\"p\",\"s\",1,\"t\"],7]"),
            "invalid length, expected 2 values (version, appAsar) at line 1 column 26");
  EXPECT_EQ(error_of("[\"3.0.0\",[\"p\",\"s\",1]]").rfind("invalid length 3, expected 4 values", 0),
            0u);
  EXPECT_EQ(error_of("[\"3.0.0\",[\"p\",1,1,\"t\"]]").rfind("invalid type for \"sha256\"", 0), 0u);
}

TEST(ParseVerifyConfig, RejectsAnythingAfterTheObject) {
  const std::string text = config_json(asar_body());
  for (const std::string& tail : {std::string(" {}"), std::string("x"), std::string(",")}) {
    const std::string e = error_of(text + tail);
    EXPECT_NE(e, "<accepted>");
    EXPECT_NE(e.find(" at line 1 column "), std::string::npos) << e;
  }
  // Neither a NUL byte nor a byte-order mark is white space, although the
  // parser would take the one for the end of the text and skip the other.
  EXPECT_EQ(error_of(text + " \n" + std::string("\0garbage", 8)),
            "syntax error while parsing value - invalid literal; last read: '<U+0000>'; expected "
            "end of input at line 2 column 1");
  EXPECT_EQ(error_of(std::string("{\"version\": \0}", 14)),
            "syntax error while parsing value - invalid literal; last read: '<U+0000>'; expected "
            "'[', '{', or a literal at line 1 column 13");
  EXPECT_EQ(error_of("\xEF\xBB\xBF" + text),
            "syntax error while parsing value - invalid literal; last read: '<U+FEFF>' at line 1 "
            "column 1");
}

TEST(ParseVerifyConfig, QuotesAtMostTheStartOfALongTokenOrKey) {
  const std::string open = "{\"version\":\"" + std::string(62, 'x') + "\xC3\xA9";
  EXPECT_EQ(error_of(open + std::string(100000, 'y')),
            "syntax error while parsing value - invalid string: missing closing quote; last read: "
            "'\"" +
                std::string(62, 'x') + "...' at line 1 column 100077");
  // A number too large for any integer type is quoted like any other token.
  EXPECT_EQ(error_of(std::string(400, '1')),
            "number overflow parsing '" + std::string(64, '1') + "...' at line 1 column 400");
  const std::string key(100000, 'k');
  const std::string e = error_of(config_json(asar_body(), "\"" + key + "\":1,\"" + key + "\":2,"));
  EXPECT_EQ(e.rfind("duplicate field `" + std::string(64, 'k') + "...` at line 1 column ", 0), 0u)
      << e.substr(0, 200);
}

TEST(ParseVerifyConfig, SyntaxErrorsCarryTheParsersDescriptionAndPosition) {
  const std::string empty = error_of("");
  EXPECT_NE(empty.find("unexpected end of input"), std::string::npos) << empty;
  EXPECT_EQ(empty.substr(empty.size() - 19), " at line 1 column 1");
  EXPECT_EQ(empty.find("json.exception"), std::string::npos) << empty;
  const std::string broken = error_of("{\n  \"version\" \"1\"}");
  EXPECT_NE(broken.find("syntax error"), std::string::npos) << broken;
  // The parser notices the error at the end of the token it did not expect.
  EXPECT_EQ(broken.substr(broken.size() - 20), " at line 2 column 15") << broken;
  const std::string cut = error_of("{\"version\":\"1\",");
  EXPECT_EQ(cut.substr(cut.size() - 20), " at line 1 column 16") << cut;
}

TEST(ParseVerifyConfig, RejectsATopLevelThatIsNoRecord) {
  for (const char* text : {"\"x\"", "12", "null"})
    EXPECT_EQ(error_of(text).rfind("invalid type: ", 0), 0u) << text;
}

TEST(ParseVerifyConfig, ReadsBackWhatTheSealingToolWrites) {
  const AppVerifyConfig c{"9.9\u00e9", {"a\\b \"c\"", kDigest, 42, "2026-12-09T05:00:00.000Z"}};
  auto r = parse_verify_config(serialize_verify_config(c));
  ASSERT_TRUE(std::holds_alternative<AppVerifyConfig>(r)) << std::get<std::string>(r);
  EXPECT_EQ(std::get<AppVerifyConfig>(r), c);
}

TEST(Pkcs7, UnpadsOnlyWellFormedPadding) {
  std::string t = "abc" + std::string(13, '\x0d');
  EXPECT_TRUE(pkcs7_unpad(t));
  EXPECT_EQ(t, "abc");
  t = std::string(16, '\x10');
  EXPECT_TRUE(pkcs7_unpad(t));
  EXPECT_EQ(t, "");
  for (std::string bad : {std::string(), std::string(16, '\0'), std::string(16, '\x11'),
                          std::string("abcdefghijklmn\x01\x02", 16),
                          std::string("abcdefghijklm\x02\x03\x03", 16), std::string("\x02", 1)}) {
    const std::string before = bad;
    EXPECT_FALSE(pkcs7_unpad(bad));
    EXPECT_EQ(bad, before);
  }
}

TEST(Pkcs7, PadRoundTripsAndAlwaysAddsABlockBoundary) {
  for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 32u}) {
    const std::string text(n, 'x');
    std::string padded = pkcs7_pad(text);
    EXPECT_EQ(padded.size() % 16, 0u);
    EXPECT_GT(padded.size(), n);
    EXPECT_TRUE(pkcs7_unpad(padded));
    EXPECT_EQ(padded, text);
  }
}

TEST(DescribeInvalidUtf8, AcceptsWellFormedText) {
  EXPECT_EQ(describe_invalid_utf8(""), std::nullopt);
  EXPECT_EQ(describe_invalid_utf8("plain {\"a\":1} \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
            std::nullopt);
  EXPECT_EQ(describe_invalid_utf8("\xf4\x8f\xbf\xbf\xed\x9f\xbf"), std::nullopt);
}

TEST(DescribeInvalidUtf8, NamesTheBadSequenceAndWhereItStarts) {
  EXPECT_EQ(describe_invalid_utf8("ab\xff"), "invalid utf-8 sequence of 1 bytes from index 2");
  EXPECT_EQ(describe_invalid_utf8("a\xc0\xaf"), "invalid utf-8 sequence of 1 bytes from index 1");
  EXPECT_EQ(describe_invalid_utf8("\xe0\x80\x80"),
            "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(describe_invalid_utf8("\xed\xa0\x80"),
            "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(describe_invalid_utf8("xy\xe2\x82z"), "invalid utf-8 sequence of 2 bytes from index 2");
  EXPECT_EQ(describe_invalid_utf8("\xf0\x9f\x98z"),
            "invalid utf-8 sequence of 3 bytes from index 0");
  EXPECT_EQ(describe_invalid_utf8("\xf4\x90\x80\x80"),
            "invalid utf-8 sequence of 1 bytes from index 0");
}

TEST(DescribeInvalidUtf8, TellsATextThatEndsInsideACharacter) {
  EXPECT_EQ(describe_invalid_utf8("abc\xe2\x82"), "incomplete utf-8 byte sequence from index 3");
  EXPECT_EQ(describe_invalid_utf8("\xf0"), "incomplete utf-8 byte sequence from index 0");
}

TEST(ExpectedDigestPrefix, ShowsSixteenBytesOrTheWholeValue) {
  EXPECT_EQ(expected_digest_prefix(kDigest), "9f86d081884c7d65");
  EXPECT_EQ(expected_digest_prefix("abc"), "abc");
  EXPECT_EQ(expected_digest_prefix(""), "");
  EXPECT_EQ(expected_digest_prefix("0123456789abcdef"), "0123456789abcdef");
  // Byte 16 lies inside "é" (two bytes starting at index 15).
  const std::string split = "0123456789abcde\xc3\xa9xyz";
  EXPECT_EQ(expected_digest_prefix(split), split);
  EXPECT_EQ(expected_digest_prefix("0123456789abcdef\xc3\xa9"), "0123456789abcdef");
}

TEST(ArchiveMismatch, ComparesSizeFirstThenTheDigestByteForByte) {
  const AppAsarInfo expected = expected_config(10).app_asar;
  EXPECT_EQ(archive_mismatch(expected, 10, kDigest), std::nullopt);
  // A wrong size wins even when the digest differs too.
  EXPECT_EQ(archive_mismatch(expected, 11, std::string(64, '0')),
            "File size mismatch: expected 10, got 11");
  EXPECT_EQ(archive_mismatch(expected, 10, std::string(64, '0')),
            "SHA256 hash mismatch: expected 9f86d081884c7d65, got 0000000000000000");
  AppAsarInfo upper = expected;
  for (char& c : upper.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(archive_mismatch(upper, 10, kDigest),
            "SHA256 hash mismatch: expected 9F86D081884C7D65, got 9f86d081884c7d65");
  AppAsarInfo padded = expected;
  padded.sha256 += " ";
  EXPECT_NE(archive_mismatch(padded, 10, kDigest), std::nullopt);
}

}  // namespace
}  // namespace vyn
