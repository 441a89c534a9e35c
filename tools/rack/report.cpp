// torvex-rack: what the rack tells as it goes when there is no terminal, and
// at its end: the summary table, and the JSON and JUnit files it was asked for.
#include <algorithm>
#include <cstdio>

#include "junit.h"
#include "console.h"
#include "os.h"
#include "outputs.h"
#include "record.h"
#include "runner.h"
#include "tools/ports/ports.h"
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

namespace {

// The unit on port, as torvex-ports finds it (the port as given when it does
// not), and its USB numbers when it has them.
void Identify(const std::string& port, const std::vector<Port>& known, RunRecord* record)
{
    record->Unit = port;
    record->Usb.clear();
    const std::vector<std::string> ids = PortIdentities(port, "", "");
    for (const Port& p : known) {
        const std::vector<std::string> theirs = PortIdentities(p.Name, "", "");
        const bool same = p.Name == port || p.StableName == port ||
                          std::any_of(ids.begin(), ids.end(), [&](const std::string& id) {
                              return std::find(theirs.begin(), theirs.end(), id) != theirs.end();
                          });
        if (same) {
            record->Unit = UnitIdentity(p);
            record->Usb = p.Usb && !p.UsbVendor.empty() ? p.UsbVendor + ":" + p.UsbProduct : "";
            return;
        }
    }
}

std::vector<Port> KnownPorts;  // found once, when the record is opened

void RecordTrouble(const Rack& rack, const std::string& why)
{
    fprintf(stderr, "torvex-rack: cannot record in %s: %s\n", rack.Opts.Record.c_str(), why.c_str());
}

}  // namespace

bool OpenRecord(Rack& rack)
{
    std::string why;
    rack.Record = OpenHistory(rack.Opts.Record, &why);
    if (rack.Record == nullptr) {
        RecordTrouble(rack, why);
        return false;
    }
    KnownPorts = FindPorts();
    rack.Common.Script = rack.Opts.Script;
    return true;
}

void RecordStarted(Rack& rack, Run& run)
{
    if (rack.Record == nullptr || run.RecordId != 0) {
        return;
    }
    RunRecord record = rack.Common;
    if (run.Unit.empty()) {
        Identify(run.Port, KnownPorts, &record);
    } else {
        record.Unit = run.Unit;  // the station knows it
        record.Usb = run.Usb;
    }
    record.Port = run.Port;
    record.Label = run.Label;
    // When it started, also for a row written later (an identification that named no unit).
    const auto since = std::chrono::duration_cast<std::chrono::system_clock::duration>(RackClock::now() - run.Start);
    record.Started = Timestamp(std::chrono::system_clock::now() - since);
    record.Attempts = run.Attempt;
    record.Transcript = run.TranscriptPath;
    std::string why;
    run.RecordId = RecordStart(rack.Record, record, &why);
    if (run.RecordId == 0) {
        RecordTrouble(rack, why);
        rack.RecordFailed = true;
    }
}

void RecordEnded(Rack& rack, Run& run)
{
    if (rack.Record == nullptr || run.RecordId == 0) {
        return;
    }
    RunRecord record;
    record.Ended = Timestamp(std::chrono::system_clock::now());
    record.Ok = run.Ok;
    record.Result = run.Result;
    record.Status = run.Started && run.Ended.signal == 0 ? run.Ended.status : -1;
    record.Attempts = run.Attempt;
    std::string why;
    if (!RecordEnd(rack.Record, run.RecordId, record, &why)) {
        RecordTrouble(rack, why);
        rack.RecordFailed = true;
    }
    run.RecordId = 0;
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
    bool written = !TranscriptWriteFailed() && !rack.RecordFailed;
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
