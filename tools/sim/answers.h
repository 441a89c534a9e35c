// What the simulated device answers to a command line: its built-in answers,
// and the table that --answers FILE adds, with its turns and {n} counts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Whether received bytes are echoed; ATE0, ATE1 and ATZ change it.
extern bool EchoOn;

// Adds the answers of a table file to the table; false, with a message, when the
// file cannot be read or a line is not COMMAND=ANSWER.
bool LoadAnswers(const char* path);
// The answer lines to a command line; an empty list means no answer at all.
std::vector<std::string> Answer(const std::string& line);
// Every table entry counted from zero again, as at a wake-up.
void ResetCounts();
// Whether a chunk read from the line begins a wake-up. A slow line may bring
// the wake-up in pieces; one that goes on with a wake-up already begun on
// the line so far (partial) begins none.
bool StartsWakeUp(const std::string& partial, const char* data, size_t n);
// Spaces and tabs removed at both ends.
std::string TrimBlanks(const std::string& s);
