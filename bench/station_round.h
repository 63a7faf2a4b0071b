// The station's figures: one round of several units on lines paced at the
// real rate, through tonecast-station, with the station's own CPU time
// apart from its children's.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct StationFigures {
  bool ok = false;
  std::string problem;
  double wall_s = 0;           // the station's run, start to end
  double own_cpu_s = 0;        // the station process alone, user + system
  double children_cpu_s = 0;   // the tonecasts it ran and reaped, user + system
  double slowest_image_s = 0;  // the longest image phase any unit saw
};

// Runs tonecast-station from bin with `units` simulated units (each
// `--pace --trailing-line`, in a folder of its own under dir) and the image.
// The station's own CPU time is read from /proc/<pid>/stat (utime + stime)
// once it has ended but before it is reaped (waitid with WNOWAIT), so that
// it is the whole of it and holds nothing of its children (cutime +
// cstime, read apart).
StationFigures RunStationRound(const std::string& bin, const std::string& dir,
                               const std::string& image, std::size_t image_size, int units);

}  // namespace bench
