// Child processes on POSIX: what the child is given (arguments, environment,
// working folder, /dev/null as input, a process group of its own, no other
// descriptor), both pipes read apart, waits with a limit, interrupts, and a
// program that is not there.
#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "platform/error.h"
#include "platform/thread.h"
#include "tests/support/process.h"

namespace {

// Reads one stream of the child to its end.
std::string ReadAll(platform::ChildProcess* child, int stream) {
  std::string all;
  char buffer[256];
  for (;;) {
    std::size_t got = 0;
    if (platform::ChildRead(child, stream, buffer, sizeof buffer, &got) != 0 || got == 0)
      return all;
    all.append(buffer, got);
  }
}

platform::ChildCommand Shell(const std::string& script) {
  platform::ChildCommand cmd;
  cmd.program = "/bin/sh";
  cmd.args = {"-c", script};
  return cmd;
}

TEST(ChildProcess, GetsItsSpecAndNothingElse) {
  testsupport::TempDir dir;
  setenv("PROCESS_TEST_KEPT", "kept", 1);
  setenv("PROCESS_TEST_REPLACED", "old", 1);
  // A long-running child first: the second must not get its pipes, and
  // the second's output must end when the second does, not when this does.
  platform::ChildProcess* sleeper = nullptr;
  ASSERT_EQ(platform::ChildStart(Shell("exec sleep 30"), &sleeper), 0);

  platform::ChildCommand cmd = Shell(
      "pwd; echo \"$PROCESS_TEST_KEPT $PROCESS_TEST_REPLACED $PROCESS_TEST_ADDED $1\"; "
      "readlink /proc/self/fd/0; ls /proc/self/fd | wc -l; "
      "[ \"$(cut -d' ' -f5 /proc/$$/stat)\" = \"$$\" ] && echo own-group; echo oops >&2");
  cmd.args.push_back("arg0");
  cmd.args.push_back("two words");
  cmd.env = {"PROCESS_TEST_REPLACED=new", "PROCESS_TEST_ADDED=added"};
  cmd.cwd = dir.path();
  platform::ChildProcess* child = nullptr;
  ASSERT_EQ(platform::ChildStart(cmd, &child), 0);
  std::string err;
  std::thread errors([&] { err = ReadAll(child, 2); });
  const std::string out = ReadAll(child, 1);
  errors.join();
  // ls sees 0, 1, 2 and its own listing of the folder: nothing inherited.
  EXPECT_EQ(out, dir.path() + "\nkept new added two words\n/dev/null\n4\nown-group\n");
  EXPECT_EQ(err, "oops\n");
  platform::ChildEnd end;
  ASSERT_EQ(platform::ChildWait(child, platform::kWaitForever, &end), 0);
  EXPECT_TRUE(end.exited);
  EXPECT_EQ(end.exit_code, 0);
  EXPECT_EQ(platform::ChildInterrupt(child, SIGINT), 0);  // ended: left alone
  platform::ChildRelease(child);

  // The sleeper: a wait with a limit runs out, an interrupt ends it.
  EXPECT_TRUE(
      platform::ErrorIs(platform::ChildWait(sleeper, 50, &end), platform::Failure::kStalled));
  EXPECT_EQ(platform::ChildInterrupt(sleeper, SIGTERM), 0);
  ASSERT_EQ(platform::ChildWait(sleeper, 10000, &end), 0);
  EXPECT_FALSE(end.exited);
  EXPECT_EQ(end.signal, SIGTERM);
  EXPECT_EQ(ReadAll(sleeper, 1), "");
  platform::ChildRelease(sleeper);
  unsetenv("PROCESS_TEST_KEPT");
  unsetenv("PROCESS_TEST_REPLACED");
}

TEST(ChildProcess, MissingProgramAndTheProgramsOwnFolder) {
  platform::ChildCommand cmd;
  cmd.program = "/nonexistent/program";
  platform::ChildProcess* child = nullptr;
  EXPECT_TRUE(platform::ErrorIs(platform::ChildStart(cmd, &child), platform::Failure::kNotFound));
  EXPECT_EQ(child, nullptr);
  cmd.program = "/bin/true";
  cmd.env = {"NO_EQUALS_SIGN"};
  EXPECT_TRUE(platform::ErrorIs(platform::ChildStart(cmd, &child), platform::Failure::kInvalid));

  EXPECT_EQ(platform::ProgramFolder(), BIN_DIR);
  EXPECT_EQ(platform::ProgramFileName("tonecast"), "tonecast");
}

}  // namespace
