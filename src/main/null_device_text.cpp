#include "main/null_device_text.h"

namespace vyn {

namespace {

constexpr std::uint16_t kLangChinese = 0x04;
constexpr std::uint16_t kSublangChineseTaiwan = 1;
constexpr std::uint16_t kSublangChineseHongKong = 3;
constexpr std::uint16_t kSublangChineseMacao = 5;

// Empty lines are part of the layout the user sees; keep them.
constexpr std::u16string_view kSysMissingSimplified =
    u"检测到 Windows 系统文件损坏（null.sys 缺失），\r\n"
    u"应用无法启动。\r\n"
    u"\r\n"
    u"请以管理员身份运行命令提示符，执行：\r\n"
    u"sfc /scannow\r\n"
    u"\r\n"
    u"修复完成后重启计算机，再次打开应用。";

constexpr std::u16string_view kSysMissingTraditional =
    u"偵測到 Windows 系統檔案損壞（null.sys 遺失），\r\n"
    u"應用程式無法啟動。\r\n"
    u"\r\n"
    u"請以系統管理員身分執行命令提示字元：\r\n"
    u"sfc /scannow\r\n"
    u"\r\n"
    u"修復完成後重新啟動電腦，再次開啟應用程式。";

constexpr std::u16string_view kSysMissingEnglish =
    u"A Windows system file is missing (null.sys).\r\n"
    u"The application cannot start.\r\n"
    u"\r\n"
    u"Please run Command Prompt as Administrator and execute:\r\n"
    u"sfc /scannow\r\n"
    u"\r\n"
    u"Restart your computer after repair, then reopen the application.";

constexpr std::u16string_view kServiceUnavailableSimplified =
    u"检测到 Windows 系统服务异常（Null 设备不可用），\r\n"
    u"应用无法启动。\r\n"
    u"\r\n"
    u"请以管理员身份运行命令提示符，依次执行以下两条命令：\r\n"
    u"\r\n"
    u"sc config null start= system\r\n"
    u"sc start null\r\n"
    u"\r\n"
    u"（注意 start= 后面有一个空格）\r\n"
    u"完成后重新打开应用。如仍无法启动，请运行 sfc /scannow 并重启计算机。";

constexpr std::u16string_view kServiceUnavailableTraditional =
    u"偵測到 Windows 系統服務異常（Null 裝置無法使用），\r\n"
    u"應用程式無法啟動。\r\n"
    u"\r\n"
    u"請以系統管理員身分執行命令提示字元，依序執行以下兩條命令：\r\n"
    u"\r\n"
    u"sc config null start= system\r\n"
    u"sc start null\r\n"
    u"\r\n"
    u"（注意 start= 後面有一個空格）\r\n"
    u"完成後重新開啟應用程式。如仍無法啟動，請執行 sfc /scannow 並重新啟動電腦。";

constexpr std::u16string_view kServiceUnavailableEnglish =
    u"A Windows system service issue has been detected\r\n"
    u"(Null device unavailable). The application cannot start.\r\n"
    u"\r\n"
    u"Please run Command Prompt as Administrator and execute\r\n"
    u"the following two commands in order:\r\n"
    u"\r\n"
    u"sc config null start= system\r\n"
    u"sc start null\r\n"
    u"\r\n"
    u"(note the space after \"start=\")\r\n"
    u"Then reopen the application. If it still fails to start,\r\n"
    u"run sfc /scannow and restart your computer.";

}  // namespace

DialogLanguage dialog_language(std::uint16_t langid) {
  const auto primary = static_cast<std::uint16_t>(langid & 0x3FF);
  const auto sublanguage = static_cast<std::uint16_t>(langid >> 10);
  if (primary != kLangChinese) return DialogLanguage::English;
  switch (sublanguage) {
    case kSublangChineseTaiwan:
    case kSublangChineseHongKong:
    case kSublangChineseMacao:
      return DialogLanguage::TraditionalChinese;
    default:
      return DialogLanguage::SimplifiedChinese;
  }
}

std::u16string_view fatal_dialog_text(NullDeviceError cause, DialogLanguage language) {
  const bool missing = cause == NullDeviceError::SysMissing;
  switch (language) {
    case DialogLanguage::SimplifiedChinese:
      return missing ? kSysMissingSimplified : kServiceUnavailableSimplified;
    case DialogLanguage::TraditionalChinese:
      return missing ? kSysMissingTraditional : kServiceUnavailableTraditional;
    case DialogLanguage::English:
      break;
  }
  return missing ? kSysMissingEnglish : kServiceUnavailableEnglish;
}

std::string_view fatal_error_text(NullDeviceError cause) {
  if (cause == NullDeviceError::SysMissing) return "null.sys driver file is missing";
  return "NUL device unavailable (null service disabled or not started)";
}

}  // namespace vyn
