// The scripts the figures run, written into the data directory.
#pragma once

#include <cstddef>
#include <string>

// A file of `count` copies of `line`.
std::string RepeatFile(const std::string& path, const std::string& line, long count);
void WriteFile(const std::string& path, const std::string& content);

// Mixed lines of about `bytes` in all, with a label every eighth line (or, without
// labels, a #nodebug line in its place); the first line jumps to the last, ":end".
// Answers the size; *labels counts the labels written.
size_t WriteLabelScript(const std::string& path, size_t bytes, bool withLabels, long* labels);
