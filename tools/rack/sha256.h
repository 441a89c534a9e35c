// torvex-rack: SHA-256 of a file, to tell which script a run used.
#pragma once

#include <string>

// The file's SHA-256 in lower-case hex; empty when it cannot be read.
std::string FileSha256(const std::string& path);
