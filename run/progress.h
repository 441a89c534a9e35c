// The run's progress for torvex-rack, on a channel the rack sets up: the
// environment variable TORVEX_PROGRESS names an inherited descriptor (POSIX)
// or handle (Windows, in decimal). torvex writes one short line per event:
//   settle            the port is open; the settling pause begins
//   wake              the wake-up is sent
//   line OFFSET       the script line that starts at byte OFFSET is run
//   wait SECONDS      an answer is awaited for at most SECONDS
//   answer ok|error|none|readfail   how that wait ended
//   key               a prompt waits for a key
//   keyed CODE        the key came (0: end of input)
// Without the variable nothing is written and nothing else changes; the
// console output is the same either way.
#pragma once

extern bool ProgressOn;  // the channel is open

// Opens the channel when the environment names one.
void StartProgress();
// Writes one event line, with a number when given; nothing when the channel is off.
void Progress(const char* event);
void Progress(const char* event, long long number);
