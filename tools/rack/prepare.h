// torvex-rack: what is checked and made ready before any unit is woken, so
// that a rack that cannot do its work says so at once, with exit status 2,
// and leaves no transcript behind; the reports say why the rack did not start.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "rack.h"

// Refuses the same port named twice (the same real path, device, or network
// address and port number), no torvex at exe, a log folder that cannot be
// written or already holds transcripts; then makes the log folder, keeps a
// script from standard input there, and names every run's transcript. False
// once the reason is printed; it is in *refusal too.
bool PrepareRack(const RackOptions& opts, const std::string& exe, std::string* logDir, std::string* scriptPath,
                 std::vector<Run>* runs, std::string* refusal);
// --dry-run: prints the units the rack would run (label, port, speed, stable
// name, transcript) and every reason it would refuse to start, opening no
// port and leaving nothing behind. 0 when it would start, else 2.
int DryRun(const RackOptions& opts, const std::string& exe);
