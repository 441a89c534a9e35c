// torvex-rack --watch: a commissioning station. Ports that match come and
// go; each unit is run once as it is plugged in, and again only when it comes
// back after a replug, never after a restart of its own.
#pragma once

#include <string>
#include <vector>

#include "rack.h"

struct Rack;
struct RackOptions;
struct Station;

// Starts watching for ports; null with why.
Station* OpenStation(const RackOptions& opts, std::string* why);
// Looks at the ports after news of them or when due: a unit ready is queued
// for its run, or told why not. Answers the ms until the next look is due.
int StationLook(Rack& rack, RackClock::time_point now, bool news);
// The station's descriptor that news of ports comes on.
int StationNews(const Station* station);
// A unit's run has ended: the station's counts, and "unplugged at line N"
// when its port went away.
void StationRunEnded(Rack& rack, size_t i);
// With --identify: the port of a bench cable whose unit is done, waiting for
// Enter to start the next one there; empty when none waits.
std::string StationIdle(const Rack& rack);
// Enter was pressed: the next unit on each such cable is identified and run.
void StationNext(Rack& rack);
// The live view's runs (those going and those done of late, newest first)
// and the station's own line.
std::vector<Run> StationRows(const Rack& rack, RackClock::time_point now, std::string* line);
