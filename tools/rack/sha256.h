// torvex-rack: SHA-256 of a file, so that a report names the exact script its
// units ran.
#pragma once

#include <string>

// The digest of the file at path in lower-case hex; empty when it cannot be read.
std::string FileSha256(const std::string& path);
