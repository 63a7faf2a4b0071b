#include "bench/station_round.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>

#include "bench/bench_transcript.h"
#include "tests/support/process.h"
#include "tests/support/unitsim.h"

namespace bench {

namespace {

// utime, stime, cutime and cstime of /proc/<pid>/stat, in seconds. The
// command's name (field 2) is in parentheses and may hold blanks: the
// fields are counted after its closing one.
bool ReadStatTimes(pid_t pid, double times[4]) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  const double tick = double(sysconf(_SC_CLK_TCK));
  // After the name: state is field 3; utime is field 14.
  for (int n = 3; n <= 17 && fields >> field; ++n)
    if (n >= 14) times[n - 14] = std::stod(field) / tick;
  return fields.good() || fields.eof();
}

}  // namespace

StationFigures RunStationRound(const std::string& bin, const std::string& dir,
                               const std::string& image, std::size_t image_size, int units) {
  StationFigures f;
  std::vector<std::unique_ptr<testsupport::TempDir>> unit_dirs;
  std::vector<std::unique_ptr<testsupport::UnitSim>> sims;
  std::vector<std::string> argv = {bin + "/tonecast-station", image};
  try {
    for (int i = 0; i < units; ++i) {
      unit_dirs.push_back(std::make_unique<testsupport::TempDir>());
      sims.push_back(std::make_unique<testsupport::UnitSim>(
          std::vector<std::string>{"--pace", "--trailing-line"}, unit_dirs.back()->path(),
          bin + "/unitsim"));
      argv.push_back(sims.back()->path());
    }
  } catch (const std::exception&) {
    f.problem = "unitsim did not start";
    return f;
  }
  testsupport::ProcessOptions o;
  o.cwd = dir;
  o.timeout_ms = 300000;
  testsupport::Process station(argv, o);
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(station.pid()), &info, WEXITED | WNOWAIT) != 0 &&
         errno == EINTR) {
  }
  double times[4] = {0, 0, 0, 0};
  const bool read = ReadStatTimes(station.pid(), times);
  const testsupport::ProcessResult end = station.Wait(300000);
  f.wall_s = end.wall_s;
  f.own_cpu_s = times[0] + times[1];
  f.children_cpu_s = times[2] + times[3];

  const std::string ok_end = "image end bytes=" + std::to_string(image_size) + " OK";
  for (auto& sim : sims) {
    sim->Stop();
    std::int64_t first = 0, last = 0;
    const std::string transcript = sim->Transcript();
    if (!RecordTime(transcript, "image first byte", &first) ||
        !RecordTime(transcript, ok_end, &last)) {
      f.problem = "a unit's transcript lacks the image records";
      return f;
    }
    f.slowest_image_s = std::max(f.slowest_image_s, double(last - first) / 1e6);
  }
  const std::string all =
      std::to_string(units) + " of " + std::to_string(units) + " units complete.";
  if (end.timed_out) {
    f.problem = "the station ran over 300 s";
  } else if (end.exit_code != 0 || end.out.find(all) == std::string::npos) {
    f.problem = "not every unit completed";
  } else if (!read) {
    f.problem = "/proc/<pid>/stat of the station could not be read";
  } else {
    f.ok = true;
  }
  return f;
}

}  // namespace bench
