// Run-time binding of the codec libraries from a caller-given folder.
#pragma once

#include <string>
#include <vector>

namespace libbind {

// Loads `fileName` from `dir` (or through the system search order when `dir` is empty). Returns the
// OS handle or null; dlerror() then holds the reason.
void* LoadLibraryFromDir(const std::string& dir, const std::string& fileName);

// The folder "lib" beside the running executable.
std::string ExecutableLibDir();

struct TFunctionEntry {
  const char* Name;
  void (*Store)(void* symbol);
};

// One library's handle, bound flag, versioned-name flag, last error and function table.
class TLibraryModule {
 public:
  TLibraryModule(const char* baseName, int major, std::vector<TFunctionEntry> table);

  std::string LibFileName() const;
  bool OpenLib(const std::string& dir);
  bool BindLib(std::string& errorText, const std::string& dir, bool versionedName, bool registerAll);
  void CloseLib();
  bool LibBound() const { return Bound; }
  const std::string& LastError() const { return LastErrorText; }

 private:
  bool ResolveTable();

  const char* BaseName;
  int Major;
  std::vector<TFunctionEntry> Table;
  void* Handle = nullptr;
  bool Bound = false;
  bool VersionedName = false;
  std::string LastErrorText;
};

}  // namespace libbind
