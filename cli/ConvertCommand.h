// `quorvendale-cli convert [options] FILE...`: converts files to AVI through the component.
#pragma once

#include <string>
#include <vector>

namespace cli {

// `args` are the words after "convert".
int RunConvert(const std::vector<std::string>& args);

}  // namespace cli

// The same with a C argument vector that starts after "convert".
int RunConvertCommand(int argc, char** argv);
