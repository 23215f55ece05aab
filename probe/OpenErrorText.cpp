#include "OpenErrorText.h"

#include <cerrno>

#include "ffmpeg.h"

namespace {

// The historic "format not recognised" number (EILSEQ where the messages were first written).
constexpr int kUnknownFormatCode = -42;

const char* TemplateFor(int code) {
  if (code == kUnknownFormatCode || code == AVERROR_DEMUXER_NOT_FOUND) return "%s: Unknown format";
  if (code == -33 || code == AVERROR(EDOM))
    return "%s: Incorrect image filename syntax.\r\n"
           "Use '%%d' to specify the image number:\r\n"
           "  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n"
           "  for img001.jpg, img002.jpg, ..., use 'img%%03d.jpg'.";
  if (code == -22 || code == AVERROR(EINVAL) || code == AVERROR_INVALIDDATA)
    return "%s: Error while parsing header";
  if (code == -12 || code == AVERROR(ENOMEM)) return "%s: memory allocation error occurred";
  if (code == -5 || code == AVERROR(EIO))
    return "%s: I/O error occurred\r\n"
           "Usually that means that input file is truncated and/or corrupted.";
  if (code == -2 || code == AVERROR(ENOENT)) return "%s: no such file or directory";
  return "%s: Error while opening file";
}

}  // namespace

std::string OpenErrorText(const std::string& prefix, int code) {
  // Filled by hand rather than by printf so that a '%' inside the prefix stays literal.
  std::string out;
  for (const char* p = TemplateFor(code); *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      out += prefix;
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      out += '%';
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}
