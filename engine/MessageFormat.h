// The engine's message formatter: "%d", "%s" and "%f" filled in order, "%f" without a precision
// giving two decimals ("%.3f" keeps its precision), "%%" giving "%". A width may precede the
// precision ("%2.2f", "%-5d": padded with blanks, on the right with "-"); a precision on "%d"
// is its least number of digits.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace engine {

class TFormatArg {
 public:
  enum TKind { fkInteger, fkFloat, fkText };

  template <std::integral T>
  TFormatArg(T v) : Kind(fkInteger), Integer(static_cast<int64_t>(v)) {}
  template <std::floating_point T>
  TFormatArg(T v) : Kind(fkFloat), Float(static_cast<double>(v)) {}
  TFormatArg(const char* v) : Kind(fkText), Text(v ? v : "") {}
  TFormatArg(const std::string& v) : Kind(fkText), Text(v) {}
  TFormatArg(std::string_view v) : Kind(fkText), Text(v) {}

  TKind Kind;
  int64_t Integer = 0;
  double Float = 0.0;
  std::string Text;
};

// A placeholder without an argument left for it stays in the text as written, so a wrong call
// shows up in the message instead of reading past the arguments.
std::string FormatMessage(std::string_view pattern, std::initializer_list<TFormatArg> args);

}  // namespace engine
