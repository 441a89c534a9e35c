// torvex-rack's console output, apart from its loop (console.cpp): the loop
// hands text over and goes on, and a thread of its own writes it, so that a
// terminal stopped with Ctrl-S or a pipe nobody reads holds that thread only,
// never the runs, their time limits or their keys.
#pragma once

#include <string>

// ConsoleWrite    hands text over, to be written after what came before it;
//                 false when it was dropped, the console having too much to write
// ConsoleDropped  whether output was dropped since the console last took some:
//                 a live view then draws itself whole again
// ConsoleAsk      ConsoleWrite of a prompt: once it is written, what was typed
//                 at the terminal and not yet read is discarded, then ConsoleAsked
//                 says so, until the next prompt is handed over
// ConsoleSettle   waits up to ms for all that was handed over to be written;
//                 false when the console did not take it in that time
bool ConsoleWrite(const std::string& text);
bool ConsoleDropped();
bool ConsoleAsk(const std::string& text);
bool ConsoleAsked();
bool ConsoleSettle(int ms);
