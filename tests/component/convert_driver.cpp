// Runs `convert` with the arguments it is given, as quorvendale-cli does after the word itself.
#include "ConvertCommand.h"

int main(int argc, char** argv) { return RunConvertCommand(argc - 1, argv + 1); }
