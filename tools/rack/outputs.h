// torvex-rack: the JSON and JUnit files. Each is checked before any unit is
// woken, marked unfinished while the rack runs, and replaced in one step at
// the end, so that whatever ends the rack, what a reader finds is whole and
// never says more than happened.
#pragma once

#include <string>

#include "junit.h"
#include "options.h"

// Refuses an output that is the same file as the script, a port list, a
// port or the other output, one that exists and is not a regular file, and
// one whose folder takes no new file; a report named - gets standard output
// (the console then goes to standard error). False once the reason is printed.
bool CheckOutputs(const RackOptions& opts);
// The same reason, not printed and with nothing taken; empty when the outputs are sound.
std::string OutputsFault(const RackOptions& opts);
// Puts in place, for each output, a report that says the rack has not
// finished, or with reason, that it did not start. False when one could not
// be written (said).
bool MarkUnfinished(const RackOptions& opts, const JunitHead& head, const std::string& reason = "");
// Writes text to a temporary file beside path's real file and renames it into
// place; - is standard output. False once the file and the reason are said.
bool WriteReport(const std::string& path, const std::string& text);
// What the JUnit suite says of the rack: now, this machine, the version, the
// script (read at scriptPath, or where it was named) and the command line.
JunitHead ReportHead(const RackOptions& opts, const std::string& scriptPath);
// A rack that will not start for reason says so in each report that is
// sound in itself (one at fault is said and left as it was; a dry run
// writes none); a --match that found nothing gets its JUnit testcase.
// Answers exit status 2.
int Refused(const RackOptions& opts, const std::string& scriptPath, const std::string& reason);
// The JSON that says the rack did not finish, or did not start for reason.
std::string UnfinishedJson(const std::string& script, const std::string& reason);
