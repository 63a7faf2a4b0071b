#include "tests/reliability/harness.h"

#include <dirent.h>

#include <fstream>
#include <sstream>

namespace reliability {

testsupport::ProcessResult RunTonecast(const std::string& dir, const std::string& env,
                                       const std::vector<std::string>& args, int timeout_ms) {
  std::vector<std::string> argv{testsupport::BinPath("tonecast")};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::ProcessOptions o;
  o.cwd = dir;
  if (!env.empty()) o.env = {env};
  o.timeout_ms = timeout_ms;
  return testsupport::RunProcess(argv, o);
}

std::string CheckRunEnded(const testsupport::ProcessResult& r, double bound_s) {
  std::ostringstream why;
  if (r.timed_out) why << "did not end by itself (killed); ";
  if (r.signal != 0) why << "ended by signal " << r.signal << "; ";
  if (r.exit_code != 1) why << "exit status " << r.exit_code << " instead of 1; ";
  if (!r.err.empty()) why << "standard error: " << r.err << "; ";
  if (r.wall_s > bound_s) why << "took " << r.wall_s << " s, more than " << bound_s << " s; ";
  if (r.cpu_s >= 0.2 * r.wall_s + 0.5)
    why << "busy: " << r.cpu_s << " s CPU in " << r.wall_s << " s; ";
  return why.str();
}

std::string CheckLog(const std::string& dir, std::size_t runs, std::vector<LogRecord>* records) {
  std::vector<LogRecord> local;
  std::vector<LogRecord>& recs = records ? *records : local;
  const std::string log = testsupport::ReadFile(dir + "/tonecast.log");
  if (std::string why = ParseRunLog(log, &recs); !why.empty()) return why;
  std::vector<std::vector<LogRecord>> split;
  if (std::string why = SplitRuns(recs, &split); !why.empty()) return why;
  if (split.size() != runs)
    return "the log holds " + std::to_string(split.size()) + " runs, expected " +
           std::to_string(runs);
  return "";
}

int CountConsoleErrors(const std::string& out) {
  int n = 0;
  for (std::size_t at = out.find("\nError : "); at != std::string::npos;
       at = out.find("\nError : ", at + 1))
    ++n;
  return n;
}

int OpenDescriptorCount() {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (const dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory's own descriptor
}

long ResidentKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace reliability
