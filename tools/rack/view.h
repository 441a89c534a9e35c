// torvex-rack: what the technician sees: the live view's rows on a terminal,
// and the summary at the end, as a table and as JSON.
#pragma once

#include <string>
#include <vector>

#include "rack.h"

// One frame of the live view for a terminal of columns x rows: at most
// rows - 1 lines, none wider than columns - 1, each ended by "\x1b[K\n".
// prompt, when not empty, is shown on a line of its own after the rows.
// With colour, a unit done shows green when ok, red when failed.
std::vector<std::string> ViewLines(const std::vector<Run>& runs, const ScriptMap& script, int columns, int rows,
                                   const std::string& prompt, RackClock::time_point now, bool colour);
// The summary table and its totals line; for a terminal of columns (0: none,
// lines whole) the result column is cut with an ellipsis so that rows fit.
std::string SummaryTable(const std::vector<Run>& runs, const std::string& logDir, int columns, bool colour);
// The same as a JSON document.
std::string SummaryJson(const std::vector<Run>& runs, const std::string& script, const std::string& logDir,
                        double seconds);
