// Captures what code under test prints on standard output, and feeds its standard input.
#pragma once

#include <functional>
#include <string>

// Runs fn with standard output going to a temporary file; answers what was
// printed, byte for byte (no console line-end translation, Windows included).
std::string CaptureStdout(const std::function<void()>& fn);

// Runs fn with standard input reading the given bytes (then end of input).
void WithStdin(const std::string& input, const std::function<void()>& fn);
