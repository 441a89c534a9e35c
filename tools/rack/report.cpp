// torvex-rack: what the rack tells as it goes when there is no terminal, and
// at its end: the summary table, and the JSON and JUnit files it was asked for.
#include <cstdio>

#include "junit.h"
#include "console.h"
#include "os.h"
#include "outputs.h"
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
        const std::string cut = CloseTranscriptFile(run.Transcript);
        run.Transcript = nullptr;
        run.TranscriptCut = cut.empty() ? run.TranscriptCut : cut;
    }
}

int Report(const Rack& rack, double seconds)
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
    bool written = !TranscriptWriteFailed();
    if (!rack.Opts.Json.empty()) {
        written = WriteReport(rack.Opts.Json, SummaryJson(rack.Runs, rack.Opts.Script, rack.LogDir, seconds)) && written;
    }
    if (!rack.Opts.Junit.empty()) {
        std::vector<std::string> transcripts;
        for (const Run& run : rack.Runs) {
            transcripts.push_back(TranscriptTail(run.TranscriptPath));
        }
        written = WriteReport(rack.Opts.Junit, JunitXml(rack.Runs, transcripts, rack.Head, seconds)) && written;
    }
    return !written ? 4 : rack.LimitEndedRuns ? 3 : allOk ? 0 : 1;
}
