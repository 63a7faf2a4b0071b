// On Linux the contract suite serves itself: a simulated unit for the
// serial cases, named through CONTRACT_PORT.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>

#include "tests/support/process.h"
#include "tests/support/unitsim.h"

namespace {

class UnitEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    unit_ = std::make_unique<testsupport::UnitSim>(std::vector<std::string>{}, dir_.path());
    ::setenv("CONTRACT_PORT", unit_->path().c_str(), 1);
    ::setenv("CONTRACT_MISSING_PORT", dir_.file("no-such-tty").c_str(), 1);
  }
  void TearDown() override { unit_.reset(); }

 private:
  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::UnitSim> unit_;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new UnitEnvironment);

}  // namespace
