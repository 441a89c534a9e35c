// torvex-rack: what the rack tells as it goes when there is no terminal, and
// at its end: the summary table, and the JSON and JUnit files it was asked for.
#include <cstdio>
#include <fstream>

#include "junit.h"
#include "console.h"
#include "os.h"
#include "record.h"
#include "runner.h"
#include "view.h"

bool Plain(const Rack& rack, const Run& run, const std::string& text, bool ask)
{
    if (rack.Live) {
        return false;
    }
    // Its time, as the transcripts have it, and the unit it is about.
    const std::string line = Timestamp(std::chrono::system_clock::now()) + " " + UnitName(run) + ": " + text + "\n";
    return ask ? ConsoleAsk(line) : ConsoleWrite(line);
}

void CloseTranscript(Run& run)
{
    if (run.Transcript != nullptr) {
        fclose(run.Transcript);
        run.Transcript = nullptr;
    }
}

namespace {

bool WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
    if (!file.flush()) {
        fprintf(stderr, "torvex-rack: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool Report(const Rack& rack, double seconds)
{
    int columns = 0;
    int rows = 0;
    if (rack.Live) {
        columns = 80;
        ConsoleSize(&columns, &rows);
    }
    ConsoleWrite((rack.Live ? "\n" : "") + SummaryTable(rack.Runs, rack.LogDir, columns, rack.Colour));
    bool allOk = true;
    for (const Run& run : rack.Runs) {
        allOk = allOk && run.Ok;
    }
    if (!rack.Opts.Json.empty()) {
        allOk = WriteFile(rack.Opts.Json, SummaryJson(rack.Runs, rack.Opts.Script, rack.LogDir, seconds)) && allOk;
    }
    if (!rack.Opts.Junit.empty()) {
        std::vector<std::string> transcripts;
        for (const Run& run : rack.Runs) {
            transcripts.push_back(TranscriptTail(run.TranscriptPath));
        }
        allOk = WriteFile(rack.Opts.Junit, JunitXml(rack.Runs, transcripts, rack.Opts.Script, seconds)) && allOk;
    }
    return allOk;
}
