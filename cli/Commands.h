// Subcommands of quorvendale-cli. Each lives in its own file and is listed in main.cpp's table.
#pragma once

#include <string>
#include <vector>

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Prints `error: <text>` and a pointer to the help on stderr; returns kExitUsage.
int UsageError(const std::string& text);

// `args` are the words after the subcommand's name.
int RunProbe(const std::vector<std::string>& args);

}  // namespace cli
