#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "ConvertCommand.h"

namespace {

struct TCommand {
  const char* Name;
  const char* Summary;
  int (*Run)(const std::vector<std::string>& args);
};

const TCommand kCommands[] = {
    {"probe", "print the streams and facts of media files", cli::RunProbe},
    {"convert", "convert media files to AVI files", cli::RunConvert},
};

void PrintHelp() {
  std::printf(
      "Usage: quorvendale-cli COMMAND [OPTIONS] ...\n"
      "       quorvendale-cli --help | --version\n"
      "\n"
      "Commands:\n");
  for (const TCommand& command : kCommands)
    std::printf("  %-10s %s\n", command.Name, command.Summary);
  std::printf("\nRun 'quorvendale-cli COMMAND --help' for a command's options and output.\n");
}

}  // namespace

int cli::UsageError(const std::string& text) {
  std::fprintf(stderr, "error: %s\nRun 'quorvendale-cli --help' for usage.\n", text.c_str());
  return kExitUsage;
}

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return cli::UsageError("no command given");
  const std::string& first = args.front();
  if (first == "--help" || first == "-h" || first == "help") {
    PrintHelp();
    return cli::kExitOk;
  }
  if (first == "--version") {
    std::printf("quorvendale-cli %s\n", QV_VERSION);
    return cli::kExitOk;
  }
  for (const TCommand& command : kCommands) {
    if (first == command.Name) return command.Run({args.begin() + 1, args.end()});
  }
  if (first.starts_with("-")) return cli::UsageError("unknown option '" + first + "'");
  return cli::UsageError("unknown command '" + first + "'");
}
