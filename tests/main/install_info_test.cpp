#include "main/install_info.h"

#include <gtest/gtest.h>

namespace vyn {
namespace {

std::string bytes(std::u16string_view s) {
  return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2);
}

TEST(RegistryText, TrailingNulsGoAndMultiStringsBecomeLines) {
  using namespace std::string_literals;
  EXPECT_EQ(decode_registry_text(kRegSz, bytes(u"C:\\VYN\0\0\0"s)), u"C:\\VYN");
  EXPECT_EQ(decode_registry_text(kRegExpandSz, bytes(u"%APPDATA%\\x\0"s)), u"%APPDATA%\\x");
  EXPECT_EQ(decode_registry_text(kRegMultiSz, bytes(u"a\0b\0\0"s)), u"a\nb");
  // An inner NUL of a plain string is kept as it is.
  EXPECT_EQ(decode_registry_text(kRegSz, bytes(u"a\0b\0"s)), u"a\0b"s);
  EXPECT_EQ(decode_registry_text(kRegSz, ""), u"");
  EXPECT_EQ(decode_registry_text(kRegSz, bytes(u"ab") + "x"), u"ab");  // odd byte ignored
}

TEST(RegistryText, OtherTypesAreNotText) {
  EXPECT_FALSE(decode_registry_text(4 /* REG_DWORD */, "\1\0\0\0"));
  EXPECT_FALSE(decode_registry_text(3 /* REG_BINARY */, "ab"));
  EXPECT_FALSE(decode_registry_text(0 /* REG_NONE */, ""));
}

}  // namespace
}  // namespace vyn
