// torvex-rack: time stamps, transcript files and JSON texts.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

// ISO 8601 UTC with milliseconds: 2026-12-08T07:41:02.123Z
std::string Timestamp(std::chrono::system_clock::time_point t);
// The same to the second with no colons, for a folder name: 20261208T074102Z
std::string FolderStamp(std::chrono::system_clock::time_point t);
// A transcript's file name for the index-th of count units, from its name
// (its label, or its port), valid on Windows too; from fallback (its port)
// where the name keeps no letter.
std::string TranscriptName(size_t index, size_t count, const std::string& port, const std::string& fallback = "");
// A new transcript (os.h CreateTranscript) whose writes are counted and checked.
FILE* OpenTranscript(const std::string& path, std::string* why, bool* noDescriptors);
// Closes it; answers why it stops short (its size bound, or a write that
// failed), or empty.
std::string CloseTranscriptFile(FILE* file);
// The bytes a transcript may hold; past them its console lines are left out.
void SetTranscriptLimit(long long bytes);
// Whether a transcript could not be made or written (said when it happened).
bool TranscriptWriteFailed();
// Writes and flushes at once, so that a rack that is killed leaves whole lines.
void TranscriptWrite(FILE* file, const std::string& line);
// A line of the rack's own: its time, "# " and the text.
void TranscriptNote(FILE* file, const std::string& text);
// The same with the time it happened.
void TranscriptNoteAt(FILE* file, std::chrono::system_clock::time_point t, const std::string& text);
// A console line exactly as it came, line end included, after its time and "| ".
void TranscriptConsole(FILE* file, std::chrono::system_clock::time_point arrived, const std::string& bytes);
// The length of the well-formed UTF-8 sequence at text[at] (2 to 4 bytes), or
// 0: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t Utf8Length(const std::string& text, size_t at);
// The transcript's text for a report: all of it, or its last megabyte after
// a line that says how much is left out.
std::string TranscriptTail(const std::string& path);
// A JSON string: well-formed UTF-8 as it is; quotes, backslashes and control
// bytes escaped; any other byte as the console shows it (\xFF, its backslash escaped).
std::string JsonString(const std::string& text);
