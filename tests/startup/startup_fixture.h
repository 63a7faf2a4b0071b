// Shared by the start-up unit tests: a fresh run state and a temporary
// working directory per test, and capturing what the code prints.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "downloader/run_state.h"
#include "tests/support/process.h"

using namespace tonecast;

namespace startup_test {

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    InitRunState();
  }
  void TearDown() override {
    InitRunState();
    ASSERT_EQ(chdir(old_cwd_), 0);
  }
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = dir_.file(name);
    testsupport::WriteFile(path, bytes);
    return path;
  }

  testsupport::TempDir dir_;

 private:
  char old_cwd_[4096] = {};
};

// Runs f with standard output captured; returns what it printed.
template <typename F>
std::string Captured(F&& f) {
  ::testing::internal::CaptureStdout();
  f();
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

}  // namespace startup_test
