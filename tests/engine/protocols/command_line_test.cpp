#include "engine/protocols/command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace vesk {
namespace {

struct IntegerCase {
  const char* text;
  std::int32_t value;
};

TEST(CommandLine, LeadingIntegerReadsAsTheCRuntimeDoes) {
  const IntegerCase cases[] = {
      {"250 ok", 250},        {"  \t354", 354},       {"\r\n\v\f7", 7},
      {"+12x", 12},           {"-5 y", -5},           {"", 0},
      {"abc", 0},             {"+", 0},               {"- 3", 0},
      {"250-more", 250},      {"0042", 42},           {"2147483647", 2147483647},
      {"2147483648", 2147483647},                     {"99999999999999999999", 2147483647},
      {"-2147483648", INT32_MIN},                     {"-99999999999999999999", INT32_MIN},
  };
  for (const IntegerCase& c : cases) EXPECT_EQ(LeadingInteger(c.text), c.value) << c.text;
}

TEST(CommandLine, SafeTextHasNoLineBreakOrNul) {
  EXPECT_TRUE(IsSafeCommandText(""));
  EXPECT_TRUE(IsSafeCommandText("ann@a.test, bob <b@b.test>\t\x7f\xff"));
  for (const std::string& text : {std::string("a\rb"), std::string("a\nb"), std::string("a\0b", 3),
                                  std::string("\r"), std::string("end\n")}) {
    EXPECT_FALSE(IsSafeCommandText(text));
  }
}

TEST(CommandLine, CommandFitsUpTo259Bytes) {
  char buffer[kCommandBufferSize];
  const std::string fits(253, 'x');  // "USER " + 253 + "\r\n" = 260: one too many
  EXPECT_FALSE(FormatCommand(buffer, "USER %s\r\n", fits.c_str()));
  EXPECT_TRUE(FormatCommand(buffer, "USER %s\r\n", fits.substr(1).c_str()));
  EXPECT_EQ(std::string(buffer), "USER " + fits.substr(1) + "\r\n");
  EXPECT_TRUE(FormatCommand(buffer, "TOP %d %d\r\n", -32768, 32767));
  EXPECT_EQ(std::string(buffer), "TOP -32768 32767\r\n");
}

}  // namespace
}  // namespace vesk
