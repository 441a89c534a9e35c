// Label scan (6): a 64 MiB script of mixed lines, a label every eighth, whose
// first line jumps to its last: the scan plus one jump.
#include "figures.h"
#include "scripts.h"

LabelScan LabelScript(const Options& o)
{
    LabelScan scan;
    scan.script = o.data + "/labels-64m.txt";
    scan.bytes = WriteLabelScript(scan.script, 64u << 20, true, &scan.labels);
    return scan;
}

ScriptTimes Labels(const Target& t, const LabelScan& scan, const ScriptTimes& empty, Table& table)
{
    const std::string what =
        Fmt("label scan: %.1f MiB, %ld labels", static_cast<double>(scan.bytes) / (1 << 20), scan.labels);
    const ScriptTimes times = BestOf(t, scan.script, what, 3, empty);
    const double bytes = static_cast<double>(scan.bytes);
    table.Set("6. label scan, wall", "", t.name, Fmt("%.0f MB/s", bytes / 1e3 / times.ms));
    table.Set("6. label scan, per CPU second", "", t.name, Fmt("%.0f MB/s", bytes / 1e3 / times.cpu));
    table.Set(Fmt("   peak memory with those %ld labels", scan.labels), "", t.name, Fmt("%.1f MiB", times.peakMiB));
    return times;
}
