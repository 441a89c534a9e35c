// torvex-rack: the record of every run in a SQLite database (--record), and
// what it holds (--history). One writer at a time, held by a lock beside the
// database; readers may query it while a rack writes.
#pragma once

#include <string>

struct RunRecord {
    std::string Unit;          // USB serial number, else stable name, else port
    std::string Usb;           // vvvv:pppp, or empty
    std::string Port;
    std::string Label;
    std::string Script;
    std::string ScriptSha256;
    std::string Started;       // UTC, ISO 8601 with milliseconds
    std::string Ended;
    bool Ok = false;
    std::string Result;        // the summary's words
    int Status = -1;           // torvex's exit status; -1: none (a signal, or not started)
    int Attempts = 0;
    std::string Transcript;
    std::string Station;       // the rack's version and command line
};

struct History;

// Opens the database for writing, creating it and its table as needed, and
// marks the runs a killed rack left unfinished; null with why.
History* OpenHistory(const std::string& path, std::string* why);
// A run's row as it starts: its id, or 0 with why.
long long RecordStart(History* history, const RunRecord& run, std::string* why);
// The same row as the run ends.
bool RecordEnd(History* history, long long id, const RunRecord& run, std::string* why);
// When unit last passed with the script of sha256: its end time, or empty.
std::string PassedEarlier(History* history, const std::string& unit, const std::string& sha256);
void CloseHistory(History* history);
// --history: the record, newest first, as a table or JSON; the exit status.
int PrintHistory(const std::string& path, const std::string& unit, bool json);
