// torvex-rack: what is checked and made ready before any unit is woken, so
// that a rack that cannot do its work says so at once, with exit status 2,
// and leaves no transcript behind.
#pragma once

#include <string>
#include <vector>

// Each answers false with the message to print (without "torvex-rack: ").
// Two names of one port: the same real path, device, or network address and port number.
bool PortsDistinct(const std::vector<std::string>& ports, std::string* message);
// torvex beside the rack can be started.
bool TorvexThere(const std::string& exe, std::string* message);
// The JSON file can be written; an existing one is left as it is until the
// end, and whether it was made here is told.
bool JsonWritable(const std::string& path, bool* made, std::string* message);
// The log folder: the one named, made when missing, or a new one named after
// the time; never one that already holds another rack's transcripts.
bool MakeLogDir(const std::string& named, std::string* dir, std::string* message);
