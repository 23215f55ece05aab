// One loader module per codec library, each with its own handle, bound flag and last error.
#pragma once

#include <string>

#include "Functions.h"
#include "LibraryLoader.h"

#define QV_DECLARE_LOADER_MODULE(Module)                                                      \
  namespace Module {                                                                         \
  std::string LibFileName();                                                                 \
  bool OpenLib(const std::string& dir);                                                      \
  bool BindLib(std::string& errorText, const std::string& dir, bool versionedName,           \
               bool registerAll = false);                                                    \
  void CloseLib();                                                                           \
  bool LibBound();                                                                           \
  libbind::TLibraryModule& Instance();                                                       \
  }

QV_DECLARE_LOADER_MODULE(AVCodecHlpr)
QV_DECLARE_LOADER_MODULE(AVFilterHlpr)
QV_DECLARE_LOADER_MODULE(AVFormatHlpr)
QV_DECLARE_LOADER_MODULE(AVUtilHlpr)
QV_DECLARE_LOADER_MODULE(SwScaleHlpr)
QV_DECLARE_LOADER_MODULE(SwResampleHlpr)

#undef QV_DECLARE_LOADER_MODULE
