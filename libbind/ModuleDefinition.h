// Defines a loader module over one function table; included once by each module's source file.
#pragma once

#include "Modules.h"

#define QV_TABLE_ENTRY(Object, name) \
  {#name, [](void* symbol) { lib::Object.name = reinterpret_cast<decltype(lib::Object.name)>(symbol); }},

#define QV_DEFINE_LOADER_MODULE(Module, Object, BaseName, Major, Functions)                   \
  namespace lib {                                                                            \
  decltype(Object) Object;                                                                   \
  }                                                                                          \
  namespace Module {                                                                         \
  libbind::TLibraryModule& Instance() {                                                      \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wcast-function-type\"") \
    static libbind::TLibraryModule module(BaseName, Major, {Functions(QV_ENTRY)});            \
    _Pragma("GCC diagnostic pop") return module;                                             \
  }                                                                                          \
  std::string LibFileName() { return Instance().LibFileName(); }                             \
  bool OpenLib(const std::string& dir) { return Instance().OpenLib(dir); }                   \
  bool BindLib(std::string& errorText, const std::string& dir, bool versionedName,           \
               bool registerAll) {                                                           \
    return Instance().BindLib(errorText, dir, versionedName, registerAll);                   \
  }                                                                                          \
  void CloseLib() { Instance().CloseLib(); }                                                 \
  bool LibBound() { return Instance().LibBound(); }                                          \
  }
