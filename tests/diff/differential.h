// The differential test: scripts generated from the language's grammar are
// checked by torvex-check's code and run by torvex's own code in-process,
// against a played device with a virtual clock; every claim the checker makes
// is held against what the run did, and every surprise of the run against the
// checker's findings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

struct TraceEvent {
    enum Kind { Line, Write, Key } What;
    int64_t Offset;     // Line: where the line starts; Write, Key: the line being carried out
    std::string Bytes;  // Write: what the run wrote
};

// Thrown by the played platform when a run goes past its bound of lines.
struct RunPastBound {};

struct FakeWorld {
    uint64_t Clock = 0;
    SystemTime Now = {};
    std::string Pending;  // what the device has said and the run not yet read
    std::string Keys;
    size_t NextKey = 0;
    bool LineSeen = false;  // the wake-up is over
    int64_t LastOffset = -1;
    std::vector<TraceEvent> Events;
    size_t Steps = 0;
    size_t StepBound = 0;
    FILE* Script = nullptr;
};
extern FakeWorld World;

// The device's answer to a command (its text before the carriage return);
// empty: it says nothing.
std::string DeviceAnswer(const std::string& command);

// Choices for the generator: from a seeded generator, or from a fuzzer's bytes.
class Choices {
public:
    explicit Choices(uint64_t seed) : State(seed * 2 + 1) {}
    Choices(const uint8_t* data, size_t size) : Data(data), Size(size) {}
    unsigned Pick(unsigned count);  // 0 to count - 1

private:
    uint64_t State = 0;
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    size_t At = 0;
};

// The look-alikes the generator draws from, first and last of each range, in
// the manual's order; and a character's UTF-8.
std::vector<std::pair<uint32_t, uint32_t>> LookAlikeRanges();
std::string Utf8(uint32_t c);

struct Generated {
    std::string Script;
    std::string Keys;
};
Generated GenerateScript(Choices* choices);

// The lines whose reading leaves bytes unused, or that send a byte beyond
// printable ASCII: each must draw a finding (claim.cpp).
std::vector<long> LinesToAccountFor(const std::string& script);
// Whether a finding of that code names the bytes of its line.
bool AccountsForBytes(const std::string& code);

// Checks and runs the script; empty when they agree, else what disagreed, with the script.
std::string Disagreements(const Generated& g, const std::string& path);
