// The label index: every ":" line of the script and where the line after it starts.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int LINE_MAX_READ = 399;  // characters one read of a script line takes
constexpr int LABEL_MAX = 39;       // characters of a label name that are kept

struct LabelRec {
    int64_t Offset;             // file position of the line after the label line
    char Label[LABEL_MAX + 1];  // the name, without line ends; blanks and case as written
    LabelRec* Next;
};

// Newest definition first, so the last definition of a name wins.
extern LabelRec* Labels;

// The name as it is kept and looked up: its first LABEL_MAX characters. Longer
// names are cut, so two that differ only after that are the same label. A jump
// finds a label when the cut names are equal, letter case aside (EqualNoCase).
void CutLabelName(const char* name, char out[LABEL_MAX + 1]);
// The name a label line (":" first) defines, cut as kept. The line's line ends
// are removed in place, so that the whole name follows its ":".
void LabelLineName(char* line, char out[LABEL_MAX + 1]);

// Reads the whole script once, records every label, and rewinds the script.
// False, with a message, when the script cannot be read.
bool ScanFileForLabels(FILE* FIn);
// Moves the script to the line after the label. False, with a message, when not
// found or when the script cannot be moved.
bool Goto(FILE* FIn, const char* Label);
