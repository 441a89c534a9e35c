// Script commands: the "#" lines that torvex carries out itself.
#pragma once

#include <cstdio>

// Carries out the command text after the "#" (line end still on it, edited in
// place). FIn is the open script, moved by jumps.
void ProcessCommand(FILE* FIn, char* text);
