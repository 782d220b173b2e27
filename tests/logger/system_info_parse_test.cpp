// Reading tool output, checked against output as the tools print it: wmic's
// list format ends every line with "\r\r\n" and pads with blank lines.

#include <gtest/gtest.h>

#include "logger/system_info/output_parse.h"

namespace vyn {
namespace {

// wmic /format:list for one instance: two blank lines, the properties in
// alphabetical order, four blank lines.
std::string wmic_list(std::initializer_list<std::string_view> properties) {
  std::string out = "\r\r\n\r\r\n";
  for (auto p : properties) out.append(p).append("\r\r\n");
  return out + "\r\r\n\r\r\n\r\r\n\r\r\n";
}

TEST(SystemInfoOutputLines, SplitsAtLineFeedsAndTakesOneCarriageReturnWithIt) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(split_output_lines("a\r\nb\nc"), (V{"a", "b", "c"}));
  // wmic's endings leave one "\r" on each line and make its blank lines "\r".
  EXPECT_EQ(split_output_lines("Name=x\r\r\n\r\r\n"), (V{"Name=x\r", "\r"}));
  EXPECT_EQ(split_output_lines("\n\n\r\nlast\r"), (V{"last\r"}));
  EXPECT_TRUE(split_output_lines("").empty());
}

TEST(SystemInfoOutputLines, TrimsUnicodeWhiteSpace) {
  EXPECT_EQ(trim_unicode_space(" \t\xC2\xA0x y\xE3\x80\x80\r"), "x y");
  EXPECT_EQ(trim_unicode_space("\xE2\x80\x8A\xE2\x80\xAF"), "");
  // A character that merely shares a lead byte with a space stays.
  EXPECT_EQ(trim_unicode_space("\xE2\x80\x94x\xC2\xA9"), "\xE2\x80\x94x\xC2\xA9");
  EXPECT_EQ(first_word("  +22631 extra"), "+22631");
  EXPECT_EQ(first_word("22000\xC2\xA0rest"), "22000");
  EXPECT_EQ(first_word("   "), "");
}

TEST(SystemInfoOutputLines, PropertyLinesNeedTheExactKeyAndAValue) {
  EXPECT_EQ(property_value("Name=  Intel  \r", "Name"), "Intel");
  EXPECT_EQ(property_value("Name=a b", "Name"), "a b");
  EXPECT_FALSE(property_value("name=Intel", "Name"));
  EXPECT_FALSE(property_value("NameX=Intel", "Name"));
  EXPECT_FALSE(property_value("Name", "Name"));
  EXPECT_FALSE(property_value("Name=", "Name"));
  EXPECT_FALSE(property_value("Name= \xC2\xA0\r", "Name"));
  // A line ending in "=" counts as blank whatever comes before it.
  EXPECT_FALSE(property_value("Name=a=", "Name"));
  EXPECT_FALSE(property_value(" Name=Intel", "Name"));
}

TEST(SystemInfoCpuOutput, PutsTheManufacturerInFrontUnlessTheNameHasIt) {
  EXPECT_EQ(parse_cpu_details(wmic_list({"Architecture=9", "Manufacturer=GenuineIntel",
                                         "Name=Intel(R) Core(TM) i7-9750H CPU @ 2.60GHz"})),
            "GenuineIntel Intel(R) Core(TM) i7-9750H CPU @ 2.60GHz");
  EXPECT_EQ(parse_cpu_details(wmic_list({"Architecture=9", "Manufacturer=AMD",
                                         "Name=AMD Ryzen 7 5800X 8-Core Processor     "})),
            "AMD Ryzen 7 5800X 8-Core Processor");
  EXPECT_EQ(
      parse_cpu_details(wmic_list({"Architecture=12", "Manufacturer=Qualcomm Technologies Inc",
                                   "Name=Snapdragon(R) X Elite - X1E78100 - Qualcomm(R) "
                                   "Oryon(TM) CPU"})),
      "Qualcomm Technologies Inc Snapdragon(R) X Elite - X1E78100 - Qualcomm(R) Oryon(TM) "
      "CPU (ARM64)");
  EXPECT_EQ(parse_cpu_details(wmic_list({"Name=Intel Xeon"})), "Intel Xeon");
}

TEST(SystemInfoCpuOutput, LastSocketWinsAndNoNameGivesNothing) {
  const std::string two_sockets =
      wmic_list({"Architecture=9", "Manufacturer=GenuineIntel", "Name=Intel Xeon Gold 6130"}) +
      wmic_list({"Architecture=12", "Manufacturer=", "Name=Intel Xeon Gold 6140"});
  // The blank Manufacturer of the second is no value, so the first stands.
  EXPECT_EQ(parse_cpu_details(two_sockets), "GenuineIntel Intel Xeon Gold 6140 (ARM64)");
  EXPECT_FALSE(
      parse_cpu_details(wmic_list({"Architecture=9", "Manufacturer=GenuineIntel", "Name="})));
  EXPECT_FALSE(parse_cpu_details(""));
  // The manufacturer test is case-sensitive.
  EXPECT_EQ(parse_cpu_details(wmic_list({"Manufacturer=AMD", "Name=amd athlon"})),
            "AMD amd athlon");
}

TEST(SystemInfoGpuOutput, JoinsTheWholeNameLines) {
  // The lines go in as printed, prefix and the carriage return that wmic's
  // "\r\r\n" leaves included.
  EXPECT_EQ(parse_gpu_names(wmic_list({"Name=NVIDIA GeForce RTX 3060"}) +
                            wmic_list({"Name=Intel(R) UHD Graphics 630"})),
            "Name=NVIDIA GeForce RTX 3060\r; Name=Intel(R) UHD Graphics 630\r");
  EXPECT_EQ(parse_gpu_names("Name=Microsoft Basic Display Adapter\n"),
            "Name=Microsoft Basic Display Adapter");
  EXPECT_FALSE(parse_gpu_names(wmic_list({"Name="})));
  EXPECT_FALSE(parse_gpu_names("\r\r\n\r\r\n"));
}

TEST(SystemInfoVendorOutput, PassesOverFirmwarePlaceholders) {
  EXPECT_EQ(parse_first_value_except(wmic_list({"Manufacturer=System manufacturer"}) +
                                         wmic_list({"Manufacturer=Contoso"}),
                                     "Manufacturer", kPlaceholderManufacturer),
            "Contoso");
  EXPECT_FALSE(parse_first_value_except(wmic_list({"Manufacturer=System manufacturer"}),
                                        "Manufacturer", kPlaceholderManufacturer));
  EXPECT_EQ(parse_first_value_except(wmic_list({"Model=ROG Strix G531GT_G531GT"}), "Model",
                                     kPlaceholderModel),
            "ROG Strix G531GT_G531GT");
  EXPECT_FALSE(parse_first_value_except(wmic_list({"Model=System Product Name"}), "Model",
                                        kPlaceholderModel));
  // The placeholder must match exactly.
  EXPECT_EQ(parse_first_value_except(wmic_list({"Model=system product name"}), "Model",
                                     kPlaceholderModel),
            "system product name");
}

TEST(SystemInfoHardwareOutput, BatteryNeedsANonBlankStatus) {
  EXPECT_TRUE(parse_battery_present(wmic_list({"Status=OK"})));
  EXPECT_FALSE(parse_battery_present(wmic_list({"Status="})));
  // Without a battery wmic prints "No Instance(s) Available." to its error
  // stream and only blank lines here.
  EXPECT_FALSE(parse_battery_present("\r\r\n"));
}

TEST(SystemInfoHardwareOutput, ChassisTableDecidesOnTheFirstKnownValue) {
  EXPECT_EQ(parse_chassis_device_type(wmic_list({"ChassisTypes=9"})), "Laptop");
  EXPECT_EQ(parse_chassis_device_type(wmic_list({"ChassisTypes=31"})), "Tablet");
  EXPECT_EQ(parse_chassis_device_type(wmic_list({"ChassisTypes=3"})), "Desktop");
  EXPECT_EQ(
      parse_chassis_device_type(wmic_list({"ChassisTypes=1"}) + wmic_list({"ChassisTypes=16"}) +
                                wmic_list({"ChassisTypes=10"})),
      "Desktop");
  // The array form wmic prints is not in the table.
  EXPECT_FALSE(parse_chassis_device_type(wmic_list({"ChassisTypes={9}"})));
  EXPECT_FALSE(parse_chassis_device_type(wmic_list({"ChassisTypes=1"})));
  EXPECT_FALSE(parse_chassis_device_type(wmic_list({"ChassisTypes=35"})));
}

TEST(SystemInfoHardwareOutput, TouchFromDeviceNamesOrTheDigitizerMetric) {
  EXPECT_TRUE(has_touch_device(wmic_list({"Name=HID-compliant touch screen"})));
  EXPECT_FALSE(has_touch_device("\r\r\n"));
  EXPECT_FALSE(has_touch_device(wmic_list({"Name="})));

  EXPECT_TRUE(digitizer_reports_touch("2\r\n"));
  EXPECT_TRUE(digitizer_reports_touch("  +193 "));
  for (const char* no : {"0\r\n", "-1\r\n", "", "\r\n", "abc", "0x10", "1 2", "+-1", "-",
                         "2147483648", "99999999999"})
    EXPECT_FALSE(digitizer_reports_touch(no)) << no;
  EXPECT_TRUE(digitizer_reports_touch("2147483647"));
}

TEST(SystemInfoHardwareOutput, TabletModeFromTheRegistryTool) {
  const std::string head =
      "\r\nHKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\ImmersiveShell\r\n";
  EXPECT_EQ(parse_tablet_mode(head + "    TabletMode    REG_DWORD    0x1\r\n\r\n"), true);
  EXPECT_EQ(parse_tablet_mode(head + "    TabletMode    REG_DWORD    0x0\r\n\r\n"), false);
  EXPECT_EQ(parse_tablet_mode("0x0 then 0x1"), true);
  EXPECT_EQ(parse_tablet_mode(""), std::nullopt);
  EXPECT_EQ(parse_tablet_mode("\r\nEnd of search: 0 match(es) found.\r\n"), std::nullopt);
}

}  // namespace
}  // namespace vyn
