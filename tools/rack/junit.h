// torvex-rack: the summary as JUnit XML, the form CI systems read test
// results in: one testsuite for the rack, one testcase per unit.
#pragma once

#include <string>
#include <vector>

#include "rack.h"

// Text for XML 1.0 from any bytes: markup escaped, and what XML cannot carry
// (bytes that are not UTF-8, control characters) shown escaped as the
// console shows it. In an attribute, tabs and line ends are kept as
// references too, so that a parser reads them back unchanged.
std::string XmlText(const std::string& bytes, bool attribute);
// What the suite says of the rack itself, as pytest writes it.
struct JunitHead {
    std::string Timestamp;     // the rack's start, UTC
    std::string Host;
    std::string Version;       // torvex's
    std::string Script;        // the script's name as given
    std::string ScriptSha256;
    std::string CommandLine;   // the rack's own
};
// The whole document. transcripts[i] is what runs[i]'s transcript holds.
std::string JunitXml(const std::vector<Run>& runs, const std::vector<std::string>& transcripts,
                     const JunitHead& head, double seconds);
// A document with one error, message, for a rack that did not finish or start.
std::string JunitUnfinished(const JunitHead& head, const std::string& message);
// The document for a rack that found no port for what it looked for (a
// --match or a serial= line): one testcase in error, saying so.
std::string JunitNotFound(const std::string& looked, const JunitHead& head);
