// The rack figures (8, 9): a short script on many devices at once, against
// runs of the same script alone.
#pragma once

#include <string>
#include <vector>

#include "figures.h"

const int RACK_COMMANDS = 10;

// The runs alone, one after another: what the racks are compared with.
struct AloneRuns {
    std::vector<double> wall, cpu, peak;
    std::vector<double> overhead;   // every cycle of every run
    std::vector<double> lessQueue;  // the same less the harness's queue
    int failed = 0;
};

// Three runs of the script alone, one after another, each with a device of its own.
AloneRuns RunAlone(const Target& t, const std::string& script);

RunPlan RackPlan(const std::string& script, const std::string& label);
// A run that went through: status 0 and every command answered.
bool Good(const Run& run, const Wire& wire);

// The row of the harness's own queue over the given wires: the median and worst.
void QueueRow(const std::vector<const Wire*>& wires, const std::string& row, const Target& t, Table& table);

// 9: one torvex-rack over o.rack devices.
void RackTool(const Options& o, const Target& t, const std::string& script, const AloneRuns& alone, Table& table);
