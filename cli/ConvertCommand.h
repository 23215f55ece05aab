// `quorvendale-cli convert [options] FILE...`: converts files to AVI through the component.
#pragma once

#include <string>
#include <vector>

namespace cli {

// `args` are the words after "convert".
int RunConvert(const std::vector<std::string>& args);

}  // namespace cli
