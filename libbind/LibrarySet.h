// The whole set of codec libraries that the converter binds before any task runs.
#pragma once

#include <string>

namespace libbind {

bool BindLibrarySet(const std::string& dir, bool versionedName);
void ReleaseLibrarySet();
std::string LibrarySetError();
bool LibrarySetBound();

// The library's log level as last read back from avutil; compared against by the log capture on
// any thread.
int LibraryLogLevel();
void SetLibraryLogLevel(int level);

}  // namespace libbind
