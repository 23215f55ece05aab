#include "LibraryLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace libbind {

namespace {

std::string LastDlError() {
  const char* text = dlerror();
  return text ? text : "unknown error";
}

std::string Format(const char* pattern, const std::string& a, const std::string& b) {
  std::string out(pattern);
  for (const std::string* arg : {&a, &b}) {
    auto at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, *arg);
  }
  return out;
}

}  // namespace

void* LoadLibraryFromDir(const std::string& dir, const std::string& fileName) {
  // Dependencies of a codec library resolve through the system loader, so neither the current
  // directory nor PATH has to change on Linux.
  if (dir.empty()) return dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::string path = dir;
  if (path.back() != '/') path += '/';
  path += fileName;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

std::string ExecutableLibDir() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "lib";
  std::string exe(buffer, static_cast<size_t>(n));
  auto slash = exe.rfind('/');
  return (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/lib";
}

TLibraryModule::TLibraryModule(const char* baseName, int major, std::vector<TFunctionEntry> table)
    : BaseName(baseName), Major(major), Table(std::move(table)) {}

std::string TLibraryModule::LibFileName() const {
  std::string name = std::string("lib") + BaseName + ".so";
  return VersionedName ? name + "." + std::to_string(Major) : name;
}

bool TLibraryModule::OpenLib(const std::string& dir) {
  if (Handle) return true;
  Handle = LoadLibraryFromDir(dir, LibFileName());
  if (Handle) return true;
  LastErrorText = Format("Load libraray %s error: %s", LibFileName(), LastDlError());
  return false;
}

bool TLibraryModule::ResolveTable() {
  for (const TFunctionEntry& entry : Table) {
    dlerror();
    void* symbol = dlsym(Handle, entry.Name);
    if (!symbol) {
      LastErrorText = "Load function " + std::string(entry.Name) + "@" + LibFileName() +
                      " error: " + LastDlError();
      return false;
    }
    entry.Store(symbol);
  }
  return true;
}

bool TLibraryModule::BindLib(std::string& errorText, const std::string& dir, bool versionedName,
                             bool /*registerAll*/) {
  // Stored first so that file names in messages follow the caller's choice. Today's libraries
  // register their codecs, formats and filters themselves, so there is nothing to register.
  VersionedName = versionedName;
  bool ok = OpenLib(dir);
  if (ok && !Bound) {
    ok = ResolveTable();
    Bound = ok;
  }
  if (!ok) errorText = LastErrorText;
  return ok;
}

void TLibraryModule::CloseLib() {
  if (!Handle) return;
  dlclose(Handle);
  Handle = nullptr;
  Bound = false;
}

}  // namespace libbind
