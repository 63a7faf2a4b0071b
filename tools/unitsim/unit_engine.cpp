#include "tools/unitsim/unit_engine.h"

#include <algorithm>
#include <cstdio>

#include "tools/unitsim/wire_text.h"
#include "vpformat/vp_format.h"

using namespace tonecast;

namespace {

void Note(UnitEngine* u, std::int64_t t, std::string text) {
  u->records.push_back({t, std::move(text)});
}

// Whether the misbehaviour flags apply in the current session.
bool Faulty(const UnitEngine* u) {
  const long limit = u->options->faulty_sessions;
  return limit <= 0 || u->sessions <= limit;
}

const StepBehaviour& Behaviour(const UnitEngine* u, SimStep step) {
  static const StepBehaviour kWellBehaved{};
  return Faulty(u) ? u->options->step[step] : kWellBehaved;
}

const FaultBehaviour& Fault(const UnitEngine* u, FaultPoint point) {
  static const FaultBehaviour kNone{};
  return Faulty(u) ? u->options->fault[point] : kNone;
}

// Queues raw bytes behind everything queued before.
void Queue(UnitEngine* u, std::int64_t now, std::string bytes) {
  const std::int64_t due = std::max(now, u->last_due_us);
  u->last_due_us = due;
  u->outbox.push_back({due, std::move(bytes)});
}

void Vanish(UnitEngine* u, std::int64_t now, const char* point) {
  Note(u, now, std::string("vanish at ") + point);
  u->phase = UnitPhase::kGone;
  u->vanish = true;
  u->outbox.clear();
}

// The flood and vanish faults of a point. Returns true when the unit is gone.
bool StrikeFault(UnitEngine* u, FaultPoint point, std::int64_t now) {
  const FaultBehaviour& f = Fault(u, point);
  if (f.flood > 0) {
    Queue(u, now, FloodBytes(&u->flood_state, f.flood));
    Note(u, now, "flood " + std::to_string(f.flood) + " bytes at " + FaultPointName(point));
  }
  if (f.vanish) Vanish(u, now, FaultPointName(point));
  return f.vanish;
}

// After the answer of `point` has been queued: with --vanish-after-answer
// the unit takes nothing more and hangs up once that answer is out.
void HangUpAfterAnswer(UnitEngine* u, FaultPoint point, std::int64_t now) {
  if (!Fault(u, point).vanish_answered || u->outbox.empty()) return;
  u->outbox.back().hang_up_after = true;
  u->phase = UnitPhase::kGone;
  Note(u, now, std::string("hang up after the answer at ") + FaultPointName(point));
}

void BeginSession(UnitEngine* u, std::int64_t now) {
  ++u->sessions;
  u->in_session = true;
  u->session_saw_vpl = false;
  Note(u, now, "session " + std::to_string(u->sessions));
}

void EndSession(UnitEngine* u) {
  u->in_session = false;
  u->session_saw_vpl = false;
}

// Queues the answer of `step`: noise lines, overlong bytes, then `lines`,
// then `tail` (raw bytes such as EOT), all after the step's delay and after
// everything queued before.
void Answer(UnitEngine* u, SimStep step, std::int64_t now, const std::vector<std::string>& lines,
            const std::string& tail = {}) {
  const SimOptions& o = *u->options;
  const StepBehaviour& b = Behaviour(u, step);
  const bool dirty = o.dirty && Faulty(u);
  std::string bytes;
  for (int i = 1; i <= b.noise; ++i)
    bytes += AnswerLine("INFO unrelated line " + std::to_string(i), dirty);
  if (Faulty(u)) bytes.append(std::size_t(o.overlong), '#');
  for (const auto& l : lines) bytes += AnswerLine(l, dirty);
  bytes += tail;
  const std::int64_t due = std::max(now + std::int64_t(b.delay_ms) * 1000, u->last_due_us);
  u->last_due_us = due;
  u->outbox.push_back({due, bytes});
  std::string joined;
  for (const auto& l : lines) joined += (joined.empty() ? "" : "+") + l;
  Note(u, now, std::string("answer ") + StepName(step) + " " + (joined.empty() ? "-" : joined) +
                   (b.delay_ms ? " delay=" + std::to_string(b.delay_ms) : std::string()));
}

// The "ACK" / "NAK" / "NAK"+"ACK" answer of a downloader command.
// Returns true when the command was acknowledged (ends with "ACK").
bool Acknowledge(UnitEngine* u, SimStep step, std::int64_t now, bool refuse,
                 std::vector<std::string> extra = {}) {
  const StepBehaviour& b = Behaviour(u, step);
  std::vector<std::string> lines;
  bool ok;
  if (refuse || b.nak) {
    lines = {"NAK"};
    ok = false;
  } else if (b.nak_then_ack) {
    lines = {"NAK", "ACK"};
    ok = true;
  } else {
    lines = {"ACK"};
    ok = true;
  }
  if (ok) lines.insert(lines.end(), extra.begin(), extra.end());
  Answer(u, step, now, lines);
  return ok;
}

void FinishImage(UnitEngine* u, std::int64_t now) {
  const VpGeometry& g = GeometryFor(u->image_flash == 0x10 ? 16 : 8);
  const unsigned problems = ExamineVpImage(u->image.data(), u->image.size(), g);
  char verdict[96];
  bool ok;
  if (u->image_bad_speed) {
    std::snprintf(verdict, sizeof verdict, "NG reason=speed:%u", u->image_bad_speed);
    ok = false;
  } else if (problems != VP_OK) {
    std::snprintf(verdict, sizeof verdict, "NG reason=check:0x%x", problems);
    ok = false;
  } else if (u->options->fin_ng && Faulty(u)) {
    std::snprintf(verdict, sizeof verdict, "NG reason=forced");
    ok = false;
  } else {
    std::snprintf(verdict, sizeof verdict, "OK");
    ok = true;
  }
  ++(ok ? u->counters.images_ok : u->counters.images_ng);
  Note(u, now, "image end bytes=" + std::to_string(u->image.size()) + " " + verdict);
  u->store_pending = true;
  u->phase = UnitPhase::kCommands;
  if (StrikeFault(u, kAtFin, now)) return;
  if (Behaviour(u, kStepFin).silent) {
    Note(u, now, "answer FIN silent");
  } else {
    Answer(u, kStepFin, now, {ok ? "FIN OK" : "FIN NG"});
    HangUpAfterAnswer(u, kAtFin, now);
  }
}

void TakeCommand(UnitEngine* u, std::int64_t now) {
  std::string times;
  for (const auto t : u->arrivals) times += (times.empty() ? "" : ",") + std::to_string(t);
  Note(u, now, "line speed=" + std::to_string(u->line_speed) + " " + EscapeBytes(u->line + "\r") +
                   " arrivals=" + times);
  // The unit ignores LF and NUL inside a command line.
  std::string text;
  for (const char c : u->line)
    if (c != '\n' && c != '\0') text.push_back(c);
  const bool wrong_speed = u->line_wrong_speed;
  u->line.clear();
  u->arrivals.clear();
  u->line_wrong_speed = false;

  if (wrong_speed && !u->options->any_speed) {
    ++u->counters.garbled;
    Note(u, now, "garbled (not at 19200 baud), no answer");
    return;
  }
  ++u->counters.commands;
  const SimOptions& o = *u->options;
  SimStep step = kStepTerm;
  if (text == "VPL") step = kStepVpl;
  else if (text == "VPE") step = kStepVpe;
  else if (text.rfind("VPD", 0) == 0) step = kStepVpd;
  if (step != kStepTerm) Note(u, now, std::string("command ") + StepName(step));
  // A second "VPL" without an end between: the program gave up on the last
  // session and this is a new one.
  if (step == kStepVpl) {
    if (u->session_saw_vpl) BeginSession(u, now);
    u->session_saw_vpl = true;
  }
  const FaultPoint point = step == kStepVpl   ? kAtVpl
                           : step == kStepVpd ? kAtVpd
                           : step == kStepVpe ? kAtVpe
                                              : kFaultPointCount;
  if (point != kFaultPointCount && StrikeFault(u, point, now)) return;
  if (step == kStepVpe || step == kStepTerm) EndSession(u);

  if (Behaviour(u, step).silent) {
    Note(u, now, std::string("answer ") + StepName(step) + " silent");
    if (step == kStepTerm) ++u->counters.terminal;
    return;
  }
  switch (step) {
    case kStepVpl:
      Acknowledge(u, step, now, false);
      HangUpAfterAnswer(u, kAtVpl, now);
      break;
    case kStepVpe: {
      std::vector<std::string> extra;
      if (o.trailing_line) extra.push_back("BYE");
      Acknowledge(u, step, now, false, extra);
      HangUpAfterAnswer(u, kAtVpe, now);
      break;
    }
    case kStepVpd: {
      VpdCommand c;
      const bool parsed = ParseVpd(text, &c);
      const bool fits = parsed && (c.flash == 8 || c.flash == 0x10) &&
                        c.size == GeometryFor(c.flash == 0x10 ? 16 : 8).file_size;
      if (!parsed) Note(u, now, "announcement malformed");
      else if (!fits) Note(u, now, "announcement does not fit the flash geometry");
      if (Acknowledge(u, step, now, !fits)) {
        u->phase = UnitPhase::kImage;
        u->image_index = c.index;
        u->image_flash = c.flash;
        u->image_size = c.size;
        u->image.clear();
        u->image.reserve(c.size);
        u->image_bad_speed = 0;
        u->image_last_us = u->last_due_us;
        u->image_half_seen = false;
        u->store_pending = false;
        char buf[96];
        std::snprintf(buf, sizeof buf, "image begin index=%x size=%u flash=%x", c.index, c.size,
                      c.flash);
        Note(u, now, buf);
      }
      HangUpAfterAnswer(u, kAtVpd, now);
      break;
    }
    default:
      ++u->counters.terminal;
      Answer(u, kStepTerm, now, {"OK " + text, "READY"}, o.no_eot ? "" : "\x04");
      break;
  }
}

}  // namespace

void InitUnit(UnitEngine* unit, const SimOptions* options) {
  *unit = UnitEngine{};
  unit->options = options;
  unit->flood_state = options->flood_seed ? options->flood_seed : 1;
}

std::size_t FeedUnit(UnitEngine* u, const std::uint8_t* data, std::size_t size,
                     std::int64_t now, std::uint32_t baud) {
  std::size_t i = 0;
  while (i < size) {
    if (u->phase == UnitPhase::kGone || u->stalled) return i;
    if (u->phase == UnitPhase::kImage) {
      std::size_t take = std::min<std::size_t>(size - i, u->image_size - u->image.size());
      const long vanish = Faulty(u) ? u->options->vanish_after : -1;
      if (vanish >= 0) take = std::min<std::size_t>(take, std::size_t(vanish) - u->image.size());
      const long stall = Faulty(u) ? u->options->stall_after : -1;
      if (stall >= 0 && std::size_t(stall) >= u->image.size())
        take = std::min<std::size_t>(take, std::size_t(stall) - u->image.size());
      // The IMAGE fault point strikes at exactly half the image.
      const std::size_t half = u->image_size / 2;
      if (!u->image_half_seen && u->image.size() < half)
        take = std::min<std::size_t>(take, half - u->image.size());
      // The timestamp of the read that brought the first image byte; with the
      // "image end" record it spans the image on the line, first to last byte.
      if (take > 0 && u->image.empty()) Note(u, now, "image first byte");
      if (u->check_speed && take > 0 && baud != kImageBaud && u->image_bad_speed == 0) {
        u->image_bad_speed = baud ? baud : 1;
        Note(u, now, "image bytes at " + std::to_string(baud) + " baud");
      }
      u->image.insert(u->image.end(), data + i, data + i + take);
      i += take;
      u->image_last_us = now;
      if (vanish >= 0 && u->image.size() == std::size_t(vanish)) {
        Note(u, now, "vanish after " + std::to_string(vanish) + " image bytes");
        u->phase = UnitPhase::kGone;
        u->vanish = true;
        return i;
      }
      if (stall >= 0 && u->image.size() == std::size_t(stall)) {
        Note(u, now, "stall after " + std::to_string(stall) + " image bytes");
        u->stalled = true;
        return i;
      }
      if (!u->image_half_seen && u->image.size() >= u->image_size / 2) {
        u->image_half_seen = true;
        if (StrikeFault(u, kAtImage, now)) return i;
      }
      if (u->image.size() == u->image_size) FinishImage(u, now);
      continue;
    }
    if (!u->in_session) {
      BeginSession(u, now);
      if (StrikeFault(u, kAtOpen, now)) return i;
    }
    const char c = char(data[i++]);
    if (c == '\r') {
      u->line_speed = baud;
      u->arrivals.push_back(now);
      if (u->check_speed && baud != kCommandBaud) u->line_wrong_speed = true;
      TakeCommand(u, now);
      continue;
    }
    if (u->line.size() >= kMaxCommandLine) {
      Note(u, now, "command line too long, dropped");
      u->line.clear();
      u->arrivals.clear();
      u->line_wrong_speed = false;
    }
    u->line.push_back(c);
    u->arrivals.push_back(now);
    if (u->check_speed && baud != kCommandBaud) u->line_wrong_speed = true;
  }
  return i;
}

void LineLost(UnitEngine* u, std::int64_t now) {
  if (u->phase == UnitPhase::kImage) {
    ++u->counters.images_abandoned;
    Note(u, now, "image lost with the line after " + std::to_string(u->image.size()) + " of " +
                     std::to_string(u->image_size) + " bytes, abandoned");
    u->image.clear();
    u->phase = UnitPhase::kCommands;
  }
  u->line.clear();
  u->arrivals.clear();
  u->line_wrong_speed = false;
  u->outbox.clear();
  EndSession(u);
}

void TickUnit(UnitEngine* u, std::int64_t now) {
  const int timeout = u->options->image_timeout_ms;
  if (u->phase != UnitPhase::kImage || timeout <= 0) return;
  if (now - u->image_last_us < std::int64_t(timeout) * 1000) return;
  ++u->counters.images_abandoned;
  Note(u, now, "image stalled after " + std::to_string(u->image.size()) + " of " +
                   std::to_string(u->image_size) + " bytes, abandoned");
  u->image.clear();
  u->phase = UnitPhase::kCommands;
}
