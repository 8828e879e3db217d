// quelloader-cli stopped (SIGSTOP) for two seconds in the middle of a
// simulated upload, then continued: every deadline of the waits under way is
// long past when it runs again, and every answer had come in time. One board
// (the window's nested waits) and a line of four (waits parked on the loop)
// both complete.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/case_dir.h"

namespace {

namespace fs = std::filesystem;

// Starts the tool with `args`, stderr to `err`, stdin and stdout from and to /dev/null.
pid_t Spawn(const std::vector<std::string>& args, const fs::path& err) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open("/dev/null", O_WRONLY);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    std::string tool = QUELLOADER_CLI;
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

int ExitCode(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Read(const fs::path& p) {
  std::ifstream in(p);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Waits until `path` holds `text` (the upload has begun), at most 20 s.
bool WaitFor(const fs::path& path, const std::string& text) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    if (Read(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(StoppedProcess, UploadsCarryOnWhenContinued) {
  const fs::path dir = ql::test::FreshCaseDir();
  const std::string hex = std::string(QUELLOADER_SOURCE) + "/examples/demo-pic18.hex";
  const fs::path one_err = dir / "one.txt";
  const fs::path line_err = dir / "line.txt";
  const pid_t one = Spawn({"flash", hex, "--simulate", "pic18", "--yes"}, one_err);
  const pid_t line = Spawn({"flash", hex, "--simulate", "pic18", "--yes", "--boards", "4", "--all"}, line_err);
  ASSERT_TRUE(WaitFor(one_err, "Uploading:")) << Read(one_err);
  ASSERT_TRUE(WaitFor(line_err, "Uploading:")) << Read(line_err);
  // Well inside the write (the whole upload takes about three seconds).
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  kill(one, SIGSTOP);
  kill(line, SIGSTOP);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  kill(one, SIGCONT);
  kill(line, SIGCONT);
  EXPECT_EQ(ExitCode(one), 0) << Read(one_err);
  EXPECT_EQ(ExitCode(line), 0) << Read(line_err);
  EXPECT_EQ(Read(one_err).find("Timeout"), std::string::npos);
  EXPECT_EQ(Read(line_err).find("Timeout"), std::string::npos);
}

}  // namespace
