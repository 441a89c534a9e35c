// Peak memory (4): a script of a million "#nodebug" lines against an empty one.
// Under Wine the process holds Wine's own libraries: only the growth is the program's.
#include "figures.h"
#include "scripts.h"

ScriptTimes MillionLines(const Options& o, const Target& t, const ScriptTimes& empty)
{
    const std::string million = o.data + "/nodebug-1m.txt";
    RepeatFile(million, "#nodebug\r\n", 1000000);
    return BestOf(t, million, "1,000,000 \"#nodebug\" lines", 3, empty);
}

void Memory(const Target& t, const ScriptTimes& empty, const ScriptTimes& million, Table& table)
{
    table.Set("4. peak memory, 1,000,000-line script", "< 1.5 MiB", t.name,
              t.wine ? Fmt("%.2f MiB (%+.2f over empty)", million.peakMiB, million.peakMiB - empty.peakMiB)
                     : Verdict(million.peakMiB, 1.5, "%.2f MiB"));
    table.Set("   exact resident set, highest sample, same script", "", t.name, Fmt("%.2f MiB", million.rssMiB));
}
