#include <gtest/gtest.h>
#include <stdio.h>

#include <random>
#include <string>

#include "quorvane.h"

static int duration_for(const std::string& argument) {
  std::string arg0 = "quorvane";
  std::string arg1 = argument;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  return read_duration_ms(2, argv);
}

TEST(CommandLine, ReadsSecondsInRangeAndFallsBackOtherwise) {
  const struct {
    const char* argument;
    int expected_ms;
  } cases[] = {
      {"5", 5000},
      {"3600", 3600000},
      {"30", 30000},
      {"4", 120000},
      {"0", 120000},
      {"-30", 120000},
      {"3601", 120000},
      {"30s", 30000},
      {"+30", 30000},
      {" 30", 30000},
      {"\t\n 30", 30000},
      {"abc", 120000},
      {"", 120000},
      {"0x20", 120000},
      {"+", 120000},
      {"- 30", 120000},
      {"+-30", 120000},
      {"0030", 30000},
      {"-0", 120000},
      {"30.9", 30000},
      {"2147483647", 120000},
      {"-2147483648", 120000},
      // Past 32 bits: must not wrap into range (2^32 + 5 and 2^32 + 3600).
      {"2147483648", 120000},
      {"4294967301", 120000},
      {"4294970896", 120000},
      {"-4294967291", 120000},
      {"99999999999999999999999999", 120000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(duration_for(c.argument), c.expected_ms) << '"' << c.argument << '"';
  }
}

TEST(CommandLine, ReadsOnlyASingleArgument) {
  std::string a0 = "quorvane", a1 = "30", a2 = "40";
  char* none[] = {a0.data(), nullptr};
  char* two[] = {a0.data(), a1.data(), a2.data(), nullptr};
  char* empty[] = {nullptr};
  EXPECT_EQ(read_duration_ms(1, none), DEFAULT_DURATION_MS);
  EXPECT_EQ(read_duration_ms(3, two), DEFAULT_DURATION_MS);
  EXPECT_EQ(read_duration_ms(0, empty), DEFAULT_DURATION_MS);
}

// Within 32 bits the reading must agree with the C library's own "%d".
static int duration_by_scanf(const std::string& argument) {
  int seconds = 0;
  if (sscanf(argument.c_str(), "%d", &seconds) != 1) return DEFAULT_DURATION_MS;
  if (seconds < 5 || seconds > 3600) return DEFAULT_DURATION_MS;
  return seconds * 1000;
}

static std::string random_argument(std::mt19937* rng) {
  const char junk[] = " \t\n\v\f\r+-0123456789abcxX.,s%\x7f\xc7";
  std::uniform_int_distribution<int> pick(0, 9);
  std::string text;
  const int blanks = pick(*rng) < 3 ? pick(*rng) % 3 : 0;
  for (int i = 0; i < blanks; ++i) text += " \t\n\v\f\r"[pick(*rng) % 6];
  const int sign = pick(*rng);
  if (sign == 0) text += '-';
  if (sign == 1) text += '+';
  // Mostly plausible seconds, sometimes anything up to nine digits.
  std::uniform_int_distribution<long> near(0, 4000), wide(0, 999999999);
  if (pick(*rng) < 8) text += std::to_string(pick(*rng) < 7 ? near(*rng) : wide(*rng));
  const int tail = pick(*rng) % 4;
  for (int i = 0; i < tail; ++i)
    text += junk[std::uniform_int_distribution<int>(0, sizeof junk - 2)(*rng)];
  return text;
}

TEST(CommandLine, AgreesWithScanfOnRandomText) {
  std::mt19937 rng(20261208);
  int in_range = 0;
  for (int i = 0; i < 200000; ++i) {
    const std::string argument = random_argument(&rng);
    const int expected = duration_by_scanf(argument);
    ASSERT_EQ(duration_for(argument), expected) << '"' << argument << '"';
    in_range += expected != DEFAULT_DURATION_MS;
  }
  // The generator must reach both outcomes often, or the comparison is idle.
  EXPECT_GT(in_range, 20000);
  EXPECT_LT(in_range, 180000);
}
