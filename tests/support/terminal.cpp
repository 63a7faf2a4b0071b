#include "tests/support/terminal.h"

#include <unistd.h>

#include <regex>
#include <sstream>

namespace testsupport {

bool HaveTmux() { return access("/usr/bin/tmux", X_OK) == 0; }

Terminal::Terminal(const std::string& dir, const ProcessOptions& options, int columns,
                   const std::string& line)
    : dir_(dir), options_(options) {
  Tmux({"new-session", "-d", "-x", std::to_string(columns), "-y", "30",
        line + "; echo $? >" + dir + "/status; exec sleep 600"});
}

Terminal::~Terminal() { Tmux({"kill-server"}); }

void Terminal::Keys(const std::string& key) { Tmux({"send-keys", key}); }

void Terminal::Resize(int columns) { Tmux({"resize-window", "-x", std::to_string(columns)}); }

int Terminal::WaitForEnd(int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 50) {
    const std::string status = ReadFile(dir_ + "/status");
    if (!status.empty()) return std::stoi(status);
    usleep(50000);
  }
  return -1;
}

std::string Terminal::Screen() { return Lines(Tmux({"capture-pane", "-p", "-J", "-S", "-"}).out); }

std::vector<std::string> Terminal::Rows(bool with_colours) {
  std::vector<std::string> args = {"capture-pane", "-p"};
  if (with_colours) args.push_back("-e");
  std::istringstream in(Tmux(args).out);
  std::vector<std::string> rows;
  for (std::string row; std::getline(in, row);) {
    row.erase(row.find_last_not_of(' ') + 1);
    rows.push_back(row);
  }
  return rows;
}

std::string Terminal::Lines(const std::string& text) {
  std::string lines = std::regex_replace(text + "\n", std::regex(" +\n"), "\n");
  lines.erase(0, lines.find_first_not_of('\n'));
  lines.erase(lines.find_last_not_of('\n') + 1);
  return lines;
}

ProcessResult Terminal::Tmux(std::vector<std::string> args) {
  args.insert(args.begin(), {"/usr/bin/tmux", "-S", dir_ + "/tmux.socket"});
  if (args[3] != "new-session" && args[3] != "kill-server")
    args.insert(args.begin() + 4, {"-t", "0"});
  return RunProcess(args, options_);
}

}  // namespace testsupport
