#include "main/command_line.h"

#include <gtest/gtest.h>

#include <map>

namespace vyn {
namespace {

struct Parse {
  std::map<std::string, std::string> env;
  std::variant<Args, CommandLineExit> operator()(std::vector<std::string> args) const {
    return parse_command_line(args, [this](std::string_view name) -> std::optional<std::string> {
      auto it = env.find(std::string(name));
      if (it == env.end()) return std::nullopt;
      return it->second;
    });
  }
};

Args args_of(const std::variant<Args, CommandLineExit>& r) {
  if (auto* e = std::get_if<CommandLineExit>(&r)) {
    ADD_FAILURE() << "exit " << e->code << ": " << e->err;
    return {};
  }
  return std::get<Args>(r);
}

CommandLineExit exit_of(const std::variant<Args, CommandLineExit>& r) {
  if (!std::holds_alternative<CommandLineExit>(r)) {
    ADD_FAILURE() << "parsed where an exit was expected";
    return {};
  }
  return std::get<CommandLineExit>(r);
}

using V = std::vector<std::string>;

TEST(CommandLine, OptionsOnlyBeforeTheFirstPassedThroughValue) {
  const Parse p;
  Args a = args_of(p({"--dev-mode", "--inspect=9229", "file.txt"}));
  EXPECT_TRUE(a.dev_mode);
  EXPECT_EQ(a.main_args, (V{"--inspect=9229", "file.txt"}));

  a = args_of(p({"a", "--dev-mode", "--help", "-V", "--"}));
  EXPECT_FALSE(a.dev_mode);
  EXPECT_EQ(a.main_args, (V{"a", "--dev-mode", "--help", "-V", "--"}));

  // An unknown option is the first value, not an error.
  a = args_of(p({"--unknown", "--dev-mode"}));
  EXPECT_EQ(a.main_args, (V{"--unknown", "--dev-mode"}));
  a = args_of(p({"-x"}));
  EXPECT_EQ(a.main_args, (V{"-x"}));
}

TEST(CommandLine, DoubleDashIsDroppedOnlyBeforeTheValues) {
  const Parse p;
  EXPECT_EQ(args_of(p({"--", "--help", "x"})).main_args, (V{"--help", "x"}));
  EXPECT_EQ(args_of(p({"--dev-mode", "--", "--", "y"})).main_args, (V{"--", "y"}));
  EXPECT_EQ(args_of(p({"a", "--", "b"})).main_args, (V{"a", "--", "b"}));
  EXPECT_TRUE(args_of(p({"--"})).main_args.empty());
}

TEST(CommandLine, ValuesPassVerbatim) {
  const Parse p;
  const V odd{"", "with space", "quote\"d", "trail\\", "\xE4\xB8\xAD\xE6\x96\x87", "-"};
  EXPECT_EQ(args_of(p(odd)).main_args, odd);
  // Bracketed values are not lists: each stays one argument, "[]" included,
  // with or without "--" before them.
  const V brackets{"[a,b]", "[]", "[", "[x]", "[,]"};
  EXPECT_EQ(args_of(p(brackets)).main_args, brackets);
  V after_dash{"--dev-mode", "--"};
  after_dash.insert(after_dash.end(), brackets.begin(), brackets.end());
  EXPECT_EQ(args_of(p(after_dash)).main_args, brackets);
}

TEST(CommandLine, HelpAndVersionEndWithZeroOnStandardOutput) {
  const Parse p;
  CommandLineExit e = exit_of(p({"--version"}));
  EXPECT_EQ(e.code, 0);
  EXPECT_EQ(e.out, "VYN_Launcher 0.1.0\n");
  EXPECT_EQ(exit_of(p({"-V"})).out, "VYN_Launcher 0.1.0\n");
  e = exit_of(p({"-h"}));
  EXPECT_EQ(e.code, 0);
  EXPECT_TRUE(e.err.empty());
  EXPECT_NE(e.out.find("Development mode flag (release build always uses VYN.exe)"),
            std::string::npos);
  EXPECT_NE(e.out.find("传递给主程序的其他参数"), std::string::npos);
  EXPECT_NE(e.out.find("VYN Desktop Application Launcher"), std::string::npos);
  EXPECT_EQ(exit_of(p({"--dev-mode", "--help"})).code, 0);
}

TEST(CommandLine, UsageErrorsEndWithTwoOnStandardError) {
  Parse p;
  CommandLineExit e = exit_of(p({"--dev-mode", "--dev-mode"}));
  EXPECT_EQ(e.code, kExitUsageError);
  EXPECT_FALSE(e.err.empty());
  EXPECT_TRUE(e.out.empty());
  for (const char* bad : {"1", "TRUE", "", "yes"}) {
    p.env = {{"DEV_MODE", bad}};
    e = exit_of(p({}));
    EXPECT_EQ(e.code, kExitUsageError) << bad;
    EXPECT_NE(e.err.find("DEV_MODE"), std::string::npos);
  }
}

TEST(CommandLine, EnvironmentFallbacks) {
  Parse p;
  p.env = {{"DEV_MODE", "true"}, {"MAIN_ARGS", "--x --y"}};
  Args a = args_of(p({}));
  EXPECT_TRUE(a.dev_mode);
  EXPECT_EQ(a.main_args, (V{"--x --y"}));
  // The command line wins over both variables, even an invalid DEV_MODE.
  p.env = {{"DEV_MODE", "bogus"}, {"MAIN_ARGS", "ignored"}};
  a = args_of(p({"--dev-mode", "given"}));
  EXPECT_TRUE(a.dev_mode);
  EXPECT_EQ(a.main_args, (V{"given"}));
  p.env = {{"DEV_MODE", "false"}};
  EXPECT_FALSE(args_of(p({})).dev_mode);
}

}  // namespace
}  // namespace vyn
