#include "MessageFormat.h"

#include <cctype>
#include <cstdio>

namespace engine {

namespace {

std::string FixedText(double v, int precision) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", precision, v);
  return buf;
}

std::string IntegerText(const TFormatArg& a) {
  switch (a.Kind) {
    case TFormatArg::fkInteger: return std::to_string(a.Integer);
    case TFormatArg::fkFloat: return std::to_string(static_cast<int64_t>(a.Float));
    case TFormatArg::fkText: return a.Text;
  }
  return {};
}

std::string FloatText(const TFormatArg& a, int precision) {
  switch (a.Kind) {
    case TFormatArg::fkInteger: return FixedText(static_cast<double>(a.Integer), precision);
    case TFormatArg::fkFloat: return FixedText(a.Float, precision);
    case TFormatArg::fkText: return a.Text;
  }
  return {};
}

std::string AnyText(const TFormatArg& a) {
  return a.Kind == TFormatArg::fkFloat ? FixedText(a.Float, 2) : IntegerText(a);
}

}  // namespace

std::string FormatMessage(std::string_view pattern, std::initializer_list<TFormatArg> args) {
  std::string out;
  auto next = args.begin();
  size_t i = 0;
  while (i < pattern.size()) {
    char c = pattern[i];
    if (c != '%' || i + 1 >= pattern.size()) {
      out += c;
      ++i;
      continue;
    }
    if (pattern[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    // %d, %s, %f or %.Nf
    size_t j = i + 1;
    int precision = -1;
    if (pattern[j] == '.') {
      size_t k = j + 1;
      int p = 0;
      while (k < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[k])) && p < 100)
        p = p * 10 + (pattern[k++] - '0');
      if (k > j + 1) {
        precision = p;
        j = k;
      }
    }
    char spec = j < pattern.size() ? pattern[j] : '\0';
    bool known = (spec == 'f') || (precision < 0 && (spec == 'd' || spec == 's'));
    if (!known || next == args.end()) {
      out.append(pattern.substr(i, j - i + (known ? 1 : 0)));
      i = j + (known ? 1 : 0);
      continue;
    }
    const TFormatArg& a = *next++;
    if (spec == 'd')
      out += IntegerText(a);
    else if (spec == 's')
      out += AnyText(a);
    else
      out += FloatText(a, precision < 0 ? 2 : precision);
    i = j + 1;
  }
  return out;
}

}  // namespace engine
