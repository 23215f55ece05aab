#include <gtest/gtest.h>

#include "MessageFormat.h"

using engine::FormatMessage;

TEST(FormatMessage, FillsPlaceholdersInOrder) {
  EXPECT_EQ(FormatMessage("Invalid %s specification for %s: %s", {"duration", "t", "abc"}),
            "Invalid duration specification for t: abc");
  EXPECT_EQ(FormatMessage("Syntax error in matrix \"%s\" at coeff %d", {"1,2", 62}),
            "Syntax error in matrix \"1,2\" at coeff 62");
  EXPECT_EQ(FormatMessage("timestamp discontinuity %d, new offset= %d",
                          {int64_t{-20000000000}, int64_t{5}}),
            "timestamp discontinuity -20000000000, new offset= 5");
}

TEST(FormatMessage, FloatsAndSpecialSequences) {
  struct TCase {
    const char* Pattern;
    double Value;
    const char* Expected;
  } cases[] = {
      {"%f", 1.5, "1.50"},           // no precision: two decimals
      {"%f", -0.004, "-0.00"},
      {"%.3f", 2.0, "2.000"},
      {"%.0f", 2.5, "2"},            // C rounding of the library printf
      {"[%2.2f]", 29.97, "[29.97]"},
      {"[%7.2f]", 29.97, "[  29.97]"},
      {"100%% %f", 0.5, "100% 0.50"},
  };
  for (const TCase& c : cases) EXPECT_EQ(FormatMessage(c.Pattern, {c.Value}), c.Expected) << c.Pattern;
}

TEST(FormatMessage, WidthsAndMissingArguments) {
  EXPECT_EQ(FormatMessage("[%5d][%-3s][%.3d]", {42, "a", 7}), "[   42][a  ][007]");
  // A placeholder without an argument stays visible; a lone or unknown % is kept as text.
  EXPECT_EQ(FormatMessage("%d and %s", {1}), "1 and %s");
  EXPECT_EQ(FormatMessage("50% %x done %", {}), "50% %x done %");
}
