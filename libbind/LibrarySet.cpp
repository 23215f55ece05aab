#include "LibrarySet.h"

#include <atomic>

#include "Modules.h"

namespace libbind {

namespace {

bool SetBound = false;
std::string SetError;
std::atomic<int> LogLevel{AV_LOG_INFO};

}  // namespace

bool BindLibrarySet(const std::string& dir, bool versionedName) {
  if (SetBound) return true;
  SetError.clear();
  bool ok = AVCodecHlpr::BindLib(SetError, dir, versionedName, true) &&
            AVFilterHlpr::BindLib(SetError, dir, versionedName, true) &&
            AVFormatHlpr::BindLib(SetError, dir, versionedName, true) &&
            AVUtilHlpr::BindLib(SetError, dir, versionedName) &&
            SwScaleHlpr::BindLib(SetError, dir, versionedName) &&
            SwResampleHlpr::BindLib(SetError, dir, versionedName);
  SetBound = ok;
  if (ok)
    LogLevel = lib::avutil.av_log_get_level();
  else
    ReleaseLibrarySet();
  return ok;
}

void ReleaseLibrarySet() {
  SetBound = false;
  AVCodecHlpr::CloseLib();
  AVFilterHlpr::CloseLib();
  AVFormatHlpr::CloseLib();
  AVUtilHlpr::CloseLib();
  SwScaleHlpr::CloseLib();
  SwResampleHlpr::CloseLib();
}

std::string LibrarySetError() { return SetError; }
bool LibrarySetBound() { return SetBound; }
int LibraryLogLevel() { return LogLevel; }
void SetLibraryLogLevel(int level) { LogLevel = level; }

}  // namespace libbind
