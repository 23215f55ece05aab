#include <gtest/gtest.h>

#include "Functions.h"
#include "LibrarySet.h"

namespace {

class TBoundLibraries : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(libbind::BindLibrarySet(QV_LIB_DIR, true)) << libbind::LibrarySetError();
    // Refused values make the libraries complain on stderr; the tests check the outcome.
    lib::avutil.av_log_set_level(AV_LOG_QUIET);
  }
};

const auto* const BoundLibraries = ::testing::AddGlobalTestEnvironment(new TBoundLibraries);

}  // namespace
