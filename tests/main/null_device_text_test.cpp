#include <gtest/gtest.h>

#include <string>

#include "main/null_device_text.h"
#include "utils/text.h"

namespace vyn {
namespace {

TEST(NullDeviceDialogLanguage, ChineseScriptFollowsTheRegion) {
  EXPECT_EQ(dialog_language(0x0404), DialogLanguage::TraditionalChinese);  // Taiwan
  EXPECT_EQ(dialog_language(0x0C04), DialogLanguage::TraditionalChinese);  // Hong Kong
  EXPECT_EQ(dialog_language(0x1404), DialogLanguage::TraditionalChinese);  // Macao
  EXPECT_EQ(dialog_language(0x0804), DialogLanguage::SimplifiedChinese);   // PRC
  EXPECT_EQ(dialog_language(0x1004), DialogLanguage::SimplifiedChinese);   // Singapore
  // Neutral ids: sublanguages 0 and 31.
  EXPECT_EQ(dialog_language(0x0004), DialogLanguage::SimplifiedChinese);
  EXPECT_EQ(dialog_language(0x7C04), DialogLanguage::SimplifiedChinese);
}

TEST(NullDeviceDialogLanguage, EverythingElseIsEnglish) {
  EXPECT_EQ(dialog_language(0x0409), DialogLanguage::English);
  EXPECT_EQ(dialog_language(0x0411), DialogLanguage::English);
  EXPECT_EQ(dialog_language(0x0000), DialogLanguage::English);
  // Only the low ten bits name the language: a Chinese-looking low byte with
  // more primary bits set is another language.
  EXPECT_EQ(dialog_language(0x0604), DialogLanguage::English);  // primary 0x204
  EXPECT_EQ(dialog_language(0x0704), DialogLanguage::English);  // primary 0x304, sub 1
}

struct TextCase {
  NullDeviceError cause;
  DialogLanguage language;
  std::size_t utf8_bytes;
  std::size_t lines;
};

TEST(NullDeviceDialogText, SixTextsHaveTheirExactShape) {
  const TextCase cases[] = {
      {NullDeviceError::SysMissing, DialogLanguage::SimplifiedChinese, 213, 7},
      {NullDeviceError::SysMissing, DialogLanguage::TraditionalChinese, 228, 7},
      {NullDeviceError::SysMissing, DialogLanguage::English, 216, 7},
      {NullDeviceError::ServiceUnavailable, DialogLanguage::SimplifiedChinese, 359, 10},
      {NullDeviceError::ServiceUnavailable, DialogLanguage::TraditionalChinese, 386, 10},
      {NullDeviceError::ServiceUnavailable, DialogLanguage::English, 387, 12},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "cause " << static_cast<int>(c.cause) << " language "
                                    << static_cast<int>(c.language));
    const std::u16string_view text = fatal_dialog_text(c.cause, c.language);
    EXPECT_TRUE(is_valid_utf16(text));
    EXPECT_EQ(utf16_to_utf8(text).size(), c.utf8_bytes);

    // Every line break is CR LF and nothing trails the last line.
    std::size_t breaks = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == u'\n') {
        ASSERT_GT(i, 0u);
        EXPECT_EQ(text[i - 1], u'\r');
        ++breaks;
      } else if (text[i] == u'\r') {
        ASSERT_LT(i + 1, text.size());
        EXPECT_EQ(text[i + 1], u'\n');
      }
    }
    EXPECT_EQ(breaks + 1, c.lines);
    EXPECT_NE(text.back(), u'\n');
  }
}

TEST(NullDeviceDialogText, RepairCommandsAreThereVerbatim) {
  // What the user types must survive translation untouched.
  for (DialogLanguage lang : {DialogLanguage::SimplifiedChinese, DialogLanguage::TraditionalChinese,
                              DialogLanguage::English}) {
    const std::string missing = utf16_to_utf8(fatal_dialog_text(NullDeviceError::SysMissing, lang));
    EXPECT_NE(missing.find("\r\nsfc /scannow\r\n"), std::string::npos);
    const std::string service =
        utf16_to_utf8(fatal_dialog_text(NullDeviceError::ServiceUnavailable, lang));
    EXPECT_NE(service.find("\r\nsc config null start= system\r\nsc start null\r\n\r\n"),
              std::string::npos);
  }
  EXPECT_NE(
      utf16_to_utf8(fatal_dialog_text(NullDeviceError::ServiceUnavailable, DialogLanguage::English))
          .find("\r\n(note the space after \"start=\")\r\n"),
      std::string::npos);
}

TEST(NullDeviceDialogText, FatalEventTextNamesTheCause) {
  EXPECT_EQ(fatal_error_text(NullDeviceError::SysMissing), "null.sys driver file is missing");
  EXPECT_EQ(fatal_error_text(NullDeviceError::ServiceUnavailable),
            "NUL device unavailable (null service disabled or not started)");
}

}  // namespace
}  // namespace vyn
