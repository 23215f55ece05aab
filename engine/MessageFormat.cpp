#include "MessageFormat.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace engine {

namespace {

std::string FixedText(double v, int precision) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", precision, v);
  return buf;
}

std::string IntegerText(int64_t v, int digits) {
  std::string magnitude = std::to_string(v < 0 ? -(v + 1) + 1ULL : static_cast<uint64_t>(v));
  if (digits > 0 && magnitude.size() < static_cast<size_t>(digits))
    magnitude.insert(0, static_cast<size_t>(digits) - magnitude.size(), '0');
  return v < 0 ? "-" + magnitude : magnitude;
}

struct TSpec {
  bool Left = false;
  int Width = -1, Precision = -1;
  char Type = '\0';
};

std::string Render(const TSpec& s, const TFormatArg& a) {
  switch (s.Type) {
    case 'd':
      if (a.Kind == TFormatArg::fkText) return a.Text;
      return IntegerText(a.Kind == TFormatArg::fkFloat ? static_cast<int64_t>(a.Float) : a.Integer,
                         s.Precision);
    case 'f':
      if (a.Kind == TFormatArg::fkText) return a.Text;
      return FixedText(a.Kind == TFormatArg::fkFloat ? a.Float : static_cast<double>(a.Integer),
                       s.Precision < 0 ? 2 : s.Precision);
    default: {  // 's': the precision is the most characters shown
      std::string t = a.Kind == TFormatArg::fkText    ? a.Text
                      : a.Kind == TFormatArg::fkFloat ? FixedText(a.Float, 2)
                                                      : std::to_string(a.Integer);
      if (s.Precision >= 0 && t.size() > static_cast<size_t>(s.Precision)) t.resize(s.Precision);
      return t;
    }
  }
}

int ReadNumber(std::string_view p, size_t& j) {
  int n = 0;
  while (j < p.size() && std::isdigit(static_cast<unsigned char>(p[j])) && n < 1000)
    n = n * 10 + (p[j++] - '0');
  return n;
}

}  // namespace

std::string FormatMessage(std::string_view pattern, std::initializer_list<TFormatArg> args) {
  std::string out;
  auto next = args.begin();
  size_t i = 0;
  while (i < pattern.size()) {
    if (pattern[i] != '%') {
      out += pattern[i++];
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    TSpec spec;
    size_t j = i + 1;
    if (j < pattern.size() && pattern[j] == '-') {
      spec.Left = true;
      ++j;
    }
    if (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j])))
      spec.Width = ReadNumber(pattern, j);
    if (j + 1 < pattern.size() && pattern[j] == '.' &&
        std::isdigit(static_cast<unsigned char>(pattern[j + 1]))) {
      ++j;
      spec.Precision = ReadNumber(pattern, j);
    }
    spec.Type = j < pattern.size() ? pattern[j] : '\0';
    const bool known = spec.Type == 'd' || spec.Type == 's' || spec.Type == 'f';
    if (!known || next == args.end()) {
      // Not a placeholder, or no argument left for it: keep the text as written.
      size_t end = known ? j + 1 : i + 1;
      out.append(pattern.substr(i, end - i));
      i = end;
      continue;
    }
    std::string text = Render(spec, *next++);
    if (spec.Width > 0 && text.size() < static_cast<size_t>(spec.Width)) {
      std::string pad(static_cast<size_t>(spec.Width) - text.size(), ' ');
      text = spec.Left ? text + pad : pad + text;
    }
    out += text;
    i = j + 1;
  }
  return out;
}

}  // namespace engine
