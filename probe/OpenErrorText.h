// Turns an error code returned while opening a media file into one of seven fixed messages.
#pragma once

#include <string>

// `prefix` (usually the file name) fills the message's "%s". Accepts both today's library codes and
// the historic numbers (-42, -33, -22, -12, -5, -2) that callers may still pass.
std::string OpenErrorText(const std::string& prefix, int code);
