// The unit's side of the dialogue, without any I/O: bytes from the line go
// in with their arrival time and the line speed at that moment; answers to
// send (each with the time it is due), transcript records and finished
// images come out. The driver in main.cpp moves them between the
// pseudo-terminal and the files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tools/unitsim/sim_options.h"

// Line speeds the unit expects: commands at 19200 baud, the image at 115200.
constexpr std::uint32_t kCommandBaud = 19200;
constexpr std::uint32_t kImageBaud = 115200;
// Longest command line the unit collects; longer ones are dropped.
constexpr std::size_t kMaxCommandLine = 1024;

struct Outgoing {
  std::int64_t due_us = 0;
  std::string bytes;
  bool hang_up_after = false;  // the unit hangs up once these bytes are out
};

struct Record {
  std::int64_t t_us = 0;
  std::string text;
};

struct UnitCounters {
  long commands = 0;   // command lines taken (dialogue and terminal)
  long terminal = 0;   // terminal commands among them
  long garbled = 0;    // lines that arrived at a wrong speed
  long images_ok = 0;
  long images_ng = 0;
  long images_abandoned = 0;
};

enum class UnitPhase { kCommands, kImage, kGone };

struct UnitEngine {
  const SimOptions* options = nullptr;
  UnitPhase phase = UnitPhase::kCommands;
  // Whether bytes must come at the expected speed (19200 baud for commands,
  // 115200 for the image). Off on a line that cannot show the program's
  // speed: then every byte counts as sent at the right one.
  bool check_speed = true;

  // The command line being collected, the arrival time of each of its bytes,
  // and whether any byte came at a speed other than 19200 baud.
  std::string line;
  std::vector<std::int64_t> arrivals;
  bool line_wrong_speed = false;
  std::uint32_t line_speed = 0;

  // The image being received.
  std::uint32_t image_index = 0;
  std::uint32_t image_flash = 0;
  std::uint32_t image_size = 0;
  std::vector<std::uint8_t> image;
  std::uint32_t image_bad_speed = 0;  // first wrong speed seen, 0 if none
  std::int64_t image_last_us = 0;     // last progress (or the ACK's due time)
  bool image_half_seen = false;       // the IMAGE fault point has passed

  // Sessions: one begins with the first byte after the last one ended (or a
  // second "VPL"); it ends with the answer to "VPE" or to a terminal command.
  long sessions = 0;
  bool in_session = false;
  bool session_saw_vpl = false;
  std::uint32_t flood_state = 1;
  bool stalled = false;  // the unit reads nothing more from the line

  // Results for the driver.
  std::deque<Outgoing> outbox;
  std::int64_t last_due_us = 0;
  std::vector<Record> records;
  bool store_pending = false;  // `image` holds a finished image to store
  bool vanish = false;         // the driver must hang up the line now
  UnitCounters counters;
};

void InitUnit(UnitEngine* unit, const SimOptions* options);

// Takes bytes read from the line at now_us while the line was set to `baud`.
// Returns the number of bytes taken: all of them, unless the unit vanished
// part-way.
std::size_t FeedUnit(UnitEngine* unit, const std::uint8_t* data, std::size_t size,
                     std::int64_t now_us, std::uint32_t baud);

// The line went away under the unit (a device that hung up): what was
// under way ends with it. An image in progress is abandoned at once, a
// half-collected command line dropped, the session ended.
void LineLost(UnitEngine* unit, std::int64_t now_us);

// Time-driven work: abandons an image that has stalled.
void TickUnit(UnitEngine* unit, std::int64_t now_us);
