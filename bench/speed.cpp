// Script speed (5): "#nodebug" lines per second, from the memory figure's runs;
// this includes the label scan, a second pass over the same lines.
#include "figures.h"

void Speed(const Target& t, const ScriptTimes& million, Table& table)
{
    table.Set("5. script commands per second, wall (#nodebug)", "", t.name, Fmt("%.2f M/s", 1000 / million.ms));
    table.Set("5. script commands per CPU second (#nodebug)", "", t.name, Fmt("%.2f M/s", 1000 / million.cpu));
}
