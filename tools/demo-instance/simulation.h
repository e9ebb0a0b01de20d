#pragma once

// The live queue of --simulate: one tick adds a new request (REQ, RITM and an unassigned catalog
// task in the demo group's queue); now and then (4 in 10) a queued unassigned task is assigned to
// the demo user, or (3 in 10) one of the demo user's queued tasks is closed.

#include <random>
#include <string>
#include <vector>

#include "database.h"
#include "util.h"

namespace trayline::demo {

// Applies one tick to `db` and returns what happened, one line per change.
std::vector<std::string> simulateTick(Database& db, std::mt19937& rng, std::size_t tick, util::TimePoint now);

}  // namespace trayline::demo
