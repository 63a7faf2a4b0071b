// One round: every unit at once, a thread per unit, the display drawing
// beside them, until every unit has ended.
#pragma once

#include <string>
#include <vector>

#include "station/board.h"
#include "station/children.h"
#include "station/port_plan.h"
#include "station/report.h"
#include "station/unit_run.h"

namespace station {

// Runs the round; returns each unit's view at its end. table: draw the
// table (else plain lines). After an interrupt the round goes on until
// every child has ended; a child still running a while after it is asked
// again, which makes tonecast end at once.
std::vector<UnitView> RunRound(const RunSettings& settings, const std::vector<UnitPort>& units,
                               bool table, Children* children, Report* report);

}  // namespace station
