// torvex-rack: the units that discovery and port lists name.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "tools/ports/ports.h"

// Whether the port has what match asks for; *known is false when match is
// not KEY=VALUE with a key and a value of the forms taken.
bool Matches(const Port& p, const std::string& match, bool* known);
// The ports --all and --match find, and those of the port list's serial=
// lines, named by their stable names, looked for again as --retries allows;
// false once it is said that one was not found.
bool FindUnits(bool all, const std::vector<std::string>& matches, RackOptions* options);
// A warning for each -BAUD= on a socket:// port, whose speed is the server's.
void WarnSpeeds(const RackOptions& options);
