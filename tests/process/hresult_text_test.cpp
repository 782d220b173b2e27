#include "process/hresult_text.h"

#include <gtest/gtest.h>

namespace vyn {
namespace {

TEST(HresultText, FromWin32KeepsHresultsAndMapsErrorCodes) {
  EXPECT_EQ(hresult_from_win32(5), 0x80070005u);
  EXPECT_EQ(hresult_from_win32(183), 0x800700B7u);
  EXPECT_EQ(hresult_from_win32(0), 0u);
  // Negative as a signed number: already an HRESULT.
  EXPECT_EQ(hresult_from_win32(0x80004005u), 0x80004005u);
  EXPECT_EQ(hresult_from_win32(0xFFFFFFFFu), 0xFFFFFFFFu);
  // Only the low 16 bits of a large positive code survive.
  EXPECT_EQ(hresult_from_win32(0x12345678u), 0x80075678u);
}

TEST(HresultText, CodeAndErrorTexts) {
  EXPECT_EQ(hresult_code_text(0x80070006u), "HRESULT(0x80070006)");
  EXPECT_EQ(hresult_code_text(0x0000ABCDu), "HRESULT(0x0000ABCD)");
  EXPECT_EQ(hresult_error_text(u"Access is denied.\r\n", 0x80070005u),
            "Access is denied. (0x80070005)");
  EXPECT_EQ(hresult_error_text(u"two  words \t\v\f \r\n", 1), "two  words (0x00000001)");
  // No message (or nothing but white space): the code alone.
  EXPECT_EQ(hresult_error_text(u"", 0x80070006u), "0x80070006");
  EXPECT_EQ(hresult_error_text(u" \r\n", 0x80070006u), "0x80070006");
  const char16_t broken[] = {u'x', 0xD800, 0};
  EXPECT_EQ(hresult_error_text(broken, 2), "x\xEF\xBF\xBD (0x00000002)");
}

}  // namespace
}  // namespace vyn
