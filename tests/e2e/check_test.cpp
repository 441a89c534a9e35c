// torvex-check, the script checker, as a process: the traps it must name at
// their lines, by kind, and what the real run does with the same scripts.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/check_support.h"
#include "support/run_program.h"

namespace {

struct Trap {
    std::string script;
    std::string findings;  // each line without the file name in front
};

const std::string n39(39, 'n');
const char OddBytes[] = "\xEF\xBB\xBF#print hi\r\n #print x\r\n  \r\nAT\0Z\r\nATZ\rATI\r\n";

// More labels than the checker's label table holds at first, so that it grows.
std::string ManyLabels(int count)
{
    std::string script = "AT+CSQ\r\n#if (>10) l" + std::to_string(count - 1) + "\r\n";
    for (int i = 0; i < count; i++) {
        script += ":l" + std::to_string(i) + "\r\n";
    }
    return script + "#goto l" + std::to_string(count) + "\r\n";
}

// Lines over and over: "#print x" makes a long straight way between two lines.
std::string Repeated(const std::string& lines, int count)
{
    std::string script;
    for (int i = 0; i < count; i++) {
        script += lines;
    }
    return script;
}

const Trap Traps[] = {
    {"AT+CSQ\r\n#if (=99) unknwn\r\n#print other branch\r\n",
     "2: error: jumps to \"unknwn\", which no label defines: the run prints Label \"unknwn\" not found. and goes "
     "on with the next line [missing-label]\n"},
    {"#timout 30\r\n#timeout30\r\n#printing done\r\n#wait5\r\n#debugging\r\n#todo later\r\n#Prnit x\r\n",
     "1: error: #timout is no script command, so the run ignores the line: did you mean #timeout? [unknown-command]\n"
     "2: error: #timeout30 passes over the character after the name, \"3\", and sets the time-out to 0 s: every "
     "modem command after it fails at once [number-position]\n"
     "3: error: #printing is read as #print, so the run prints \"ing done\" [name-runs-on]\n"
     "4: error: #wait5 passes over the character after the name, \"5\", and waits for nothing [number-position]\n"
     "5: warning: #debugging is read as #debug [name-runs-on]\n"
     "7: error: #Prnit is no script command, so the run ignores the line: did you mean #print? [unknown-command]\n"},
    {"#timeout 0\r\n#wait -1\r\n#timeout\r\n#timeout-5\r\n",
     "1: warning: #timeout sets the time-out to 0 s: every modem command after it fails at once, without waiting "
     "for an answer [number-value]\n"
     "2: warning: #wait of a negative time waits for nothing [number-value]\n"
     "3: error: #timeout has no number, so it does nothing: the time-out stays as it was [no-number]\n"
     "4: error: #timeout passes over the character after the name, \"-\", and sets the time-out to 5 s "
     "[number-position]\n"},
    // A wait of 0 s is no negative time: the line passes in silence.
    {"#wait 0\r\nATZ\r\n", ""},
    {"ATZ\n^QVER?\n#print ok\nATI",
     "1: error: line ends in a line feed only, which the run removes from a plain command: it sends \"ATZ\" with "
     "no line end, and the device never sees the command end [line-end]\n"
     "2: warning: line ends in a line feed only: the run sends \"AT^QVER?\\n\", with no carriage return "
     "[line-end]\n"
     "4: error: the file's last line has no line end: the run sends \"ATI\" with none, and the device never sees "
     "the command end [line-end]\n"},
    // The third line is 399 characters and its line end: that end alone is skipped.
    {"AT" + std::string(498, 'X') + "\r\n#print " + std::string(400, 'y') + "\r\n#print " + std::string(392, 'z') +
         "\r\n",
     "1: error: line of 500 characters is longer than one read (399): the run sends its first 399 characters with "
     "no line end, then reads the rest as 1 more line: a modem command [long-line]\n"
     "2: error: line of 407 characters is longer than one read (399): the run reads the rest as 1 more line: a "
     "modem command [long-line]\n"},
    {":a\r\n:A\r\n:b \r\n: c\r\n#goto b\r\n:" + n39 + "1\r\n:" + n39 + "2\r\n",
     "1: error: label \"a\" is defined again on line 2: jumps go there, never here [duplicate-label]\n"
     "3: warning: label \"b \" ends in a blank: only a jump whose name ends in the same blanks reaches it "
     "[label-blank]\n"
     "4: warning: label \" c\" begins with a blank: a jump passes over the blanks before its name, so no jump "
     "reaches it [label-blank]\n"
     "5: error: jumps to \"b\", which no label defines: the run prints Label \"b\" not found. and goes on with "
     "the next line (the label on line 3 ends in a blank; the name does not) [missing-label]\n"
     "6: error: label \"" + n39 + "1\" is the same as the label on line 7 in its first 39 characters, which are "
     "all that count: jumps go there, never here [duplicate-label]\n"
     "7: warning: label name is longer than 39 characters: the run keeps only \"" + n39 + "\", and a jump finds the "
     "label by those [label-long]\n"},
    {":a\r\n#print x\r\n#goto a\r\n",
     "3: error: the loop through lines 2-3 has no way out: the run loops forever [endless-loop]\n"},
    // Every answer the run goes on after holds OK: (OK) after a modem command always jumps.
    {"ATZ\r\n:b\r\n#if (OK) c\r\n#goto b\r\n:c\r\nATZ\r\n:d\r\n#if (OK) d\r\n",
     "3: error: every answer the run goes on after holds OK, so (OK) always holds after a modem command: the #if "
     "always jumps [if-always]\n"
     "4: warning: no path from the start of the script reaches this line [unreachable]\n"
     "8: error: the loop through line 8 has no way out: the run loops forever [endless-loop]\n"
     "8: warning: every answer the run goes on after holds OK, so (OK) always holds after a modem command: the #if "
     "always jumps [if-always]\n"},
    // A cycle that passes no prompt loops on, though a prompt is on a branch of the same loop.
    {"ATZ\r\n:poll\r\n#if (Y) done\r\n#if (N) ask\r\n#wait 1\r\n#goto poll\r\n:ask\r\n#prompt Go?\r\n"
     "#goto poll\r\n:done\r\n",
     "6: warning: the loop through lines 3-6 has no modem command or prompt, so the response cannot change in it: the "
     "#if lines 3, 4 take the same way every time, and the loop may never end [endless-loop]\n"},
    {"ATZ\r\n:alarm\r\n#bell\r\n#print Alarm! Ctrl-C to stop\r\n#wait 1\r\n#goto alarm\r\n",
     "6: warning: the loop through lines 3-6 has no way out: the run goes round it until stopped, as its text says "
     "[endless-loop]\n"},
    {"AT+CSQ\r\n#if OK\r\n#if (OK\r\n#if () x\r\n#if (>) x\r\n#if ( OK) x\r\n:x\r\n",
     "2: error: #if has no \"(\", so it never jumps [if-never]\n"
     "3: error: #if has no \")\" after its \"(\", so it never jumps [if-never]\n"
     "4: error: #if has an empty condition, so it never jumps [if-never]\n"
     "5: warning: condition (>) has no number after \">\", so the run compares the response's number with 0 "
     "[if-no-number]\n"
     "6: warning: condition ( OK) is looked for in the response with its blanks [condition-blanks]\n"},
    // Conditions the run reads otherwise, or that no answer holds: errors
    // where the way they skip sends a modem command (above, where none does:
    // warnings). A key may be any byte, so a one-byte condition after a
    // prompt may hold.
    {"AT+CSQ\r\n#if (!=99) send\r\n#if (>1O) send\r\n#if (\tOK) send\r\n#if (Jos\xC3\xA9) send\r\n#if (\xA0) send\r\n"
     "#if (>) send\r\n#if (O\x01K) end\r\n#prompt Key?\r\n#if (\t) send\r\n#goto end\r\n:send\r\nATZ\r\n:end\r\n",
     "2: error: condition (!=99) is no comparison the run knows: it looks for the text \"!=99\" in the response "
     "[condition-text]\n"
     "3: error: condition (>1O) reads the number 1 and ignores \"O\" after it (the letter O, not a zero): the run "
     "jumps when the response's number is greater than 1 [condition-rest]\n"
     "4: error: condition (\\tOK) holds a tab at character 1: the run looks for it as it stands, and the device's "
     "answers, in printable ASCII, never hold it: the #if never jumps [condition-bytes]\n"
     "5: warning: condition (Jos\\xC3\\xA9) holds U+00E9 \"\\xC3\\xA9\" at character 4, which is not ASCII: the run "
     "looks for its bytes as they stand, and the #if jumps only if the answer holds them so [condition-bytes]\n"
     "6: error: condition (\\xA0) holds the byte \\xA0, which is no UTF-8, at character 1: the run looks for it as it "
     "stands, and the device's answers, in printable ASCII, never hold it: the #if never jumps [condition-bytes]\n"
     "7: error: condition (>) has no number after \">\", so the run compares the response's number with 0 "
     "[if-no-number]\n"
     "8: warning: condition (O\\x01K) holds a control byte (\\x01) at character 2: the run looks for it as it "
     "stands, and the device's answers, in printable ASCII, never hold it: the #if never jumps [condition-bytes]\n"},
    {std::string(OddBytes, sizeof OddBytes - 1),
     "1: error: the file begins with a UTF-8 byte order mark, so the run sends this line to the device, mark and "
     "all [byte-order-mark]\n"
     "2: error: line begins with a blank, so it is not a script command: the run sends it to the device "
     "[blank-start]\n"
     "3: error: line holds only blanks, which the run sends to the device as a modem command [blank-start]\n"
     "4: error: line holds a NUL byte: the run sends only the 2 characters before it [nul-byte]\n"
     "5: warning: line holds a carriage return before its end: the device gets \"ATZ\\rATI\\r\" in one write, and "
     "the run waits for one answer [carriage-return]\n"},
    // A condition that never holds is an error where its jump sends a modem command.
    {"^QRTC=2020/01/01\r\n#prompt Go on?\r\n#if (y) yes\r\n#if (>1) end\r\n#goto end\r\n:yes\r\nATZ\r\n:end\r\n",
     "1: error: the run fills in the clock command with the current time and drops \"2020/01/01\" [clock-text]\n"
     "3: error: after #prompt the response is the key in upper case, so (y) never holds "
     "[condition-after-prompt]\n"
     "4: warning: after #prompt the response is one key, with no \":\" before a number, so (>1) never holds "
     "[condition-after-prompt]\n"
     "7: warning: no path from the start of the script reaches this line [unreachable]\n"},
    {ManyLabels(1100),
     "1103: error: jumps to \"l1100\", which no label defines: the run prints Label \"l1100\" not found. and goes "
     "on with the next line [missing-label]\n"},
    // Exactly as many labels as the table has slots, were it let fill up: a
    // look-up of a missing name must still end.
    {ManyLabels(1024),
     "1027: error: jumps to \"l1024\", which no label defines: the run prints Label \"l1024\" not found. and goes "
     "on with the next line [missing-label]\n"},
    {ManyLabels(2048),
     "2051: error: jumps to \"l2048\", which no label defines: the run prints Label \"l2048\" not found. and goes "
     "on with the next line [missing-label]\n"},
    {"# torvex-check: disable=missing-label\r\n#goto nowhere\r\n#goto nowhere\r\n",
     "3: error: jumps to \"nowhere\", which no label defines: the run prints Label \"nowhere\" not found. and goes "
     "on with the next line [missing-label]\n"},
};

// Checks every script in one run; each trap's findings carry its file's name.
template <size_t N>
void ExpectFindings(const Trap (&traps)[N], int status)
{
    std::vector<std::string> args;
    std::string expected;
    for (const Trap& trap : traps) {
        const std::string path = ScriptArg(WriteScript(trap.script));
        args.push_back(path);
        size_t from = 0;
        while (from < trap.findings.size()) {
            const size_t end = trap.findings.find('\n', from) + 1;
            expected += path + ":" + trap.findings.substr(from, end - from);
            from = end;
        }
    }
    // A checker caught in a loop is killed long before the suite's limit.
    const RunResult r = Check(args, KilledAfter(60000));
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, expected);
}

TEST(Check, NamesEachTrapAtItsLine)
{
    ExpectFindings(Traps, 1);
}

// Findings that follow the jumps: what holds on every path that reaches a
// line, and what the run surely does wrong. The polling loop and the
// condition reached from a modem command are checked clean.
const std::string PollingLoop = "ATZ\r\n:again\r\n#goto check\r\n:retry\r\n#wait 1\r\n#goto again\r\n"
                                ":check\r\n^QCNT?\r\n#if (<3) retry\r\n#print done\r\n";
const std::string SignalAfterPrompt = "ATI\r\n#prompt Check the signal? (Y/N)\r\n#if (N) done\r\nAT+CSQ\r\n"
                                      "#goto test\r\n:test\r\n#if (>10) good\r\n#print weak\r\n#goto done\r\n"
                                      ":good\r\n#print good\r\n:done\r\n";
const char DeviceBytes[] = "\fATZ\r\nATZ\xC2\xA0\r\n\xEF\xBB\xBF#print x\r\nATZ # reset\r\n; set up\r\n^QABCDE: 1\r\n"
                           "^QABC: 1\r\nAT+CPBW=1,\"#31#\"\r\n  ^QRTC=\r\n";
// A command of 398 characters fits one read with its CR; a label cut at a
// blank is cut the same way in its jump.
const std::string ProseAndSeparators =
    "#If the unit does not answer, call the office\r\n#Cell signal check follows\r\n"
    "#Tell the customer the unit is ready\r\n#Time sync: set the clock\r\n::::::::\r\n::::::::\r\n"
    ":: Set up\r\n#Waiting for the unit to boot\r\n#tiemout 5\r\n#bel\r\nAT" + std::string(396, 'X') + "\r\n#goto " +
    std::string(38, 'n') + " more\r\n:" + std::string(38, 'n') + " more\r\n";
const std::string LongName = "end" + std::string(397, 'x');
const char PathBytes[] = "ATZ\r\n#print a\0b\r\n:x\0y\r\n#print \x1b[2J\x7f\r\n";

// Every byte of a line accounted for: arguments no command reads, other
// languages' commands and comments, and what a device cannot take.
const char AccountedBytes[] =
    "#debug off\r\n#UTC set the clock in UTC\r\n#if not (OK) x\r\n#nodebug # quiet\r\n#wait 5 seconds\r\n"
    "#wait 2 min\r\n#exit\r\n#sleep 20\r\n#End of setup\r\nAT\tZ\r\nAT+COPS=\xE2\x80\x9C" "Telecom\xE2\x80\x9D\r\n"
    "AT^QNAME=Jos\xC3\xA9\r\nAT\xA0Z\r\nAT\xC2\x85Z\r\nAT+CSQ\xEF\xBC\x9F\r\n\xE2\x80\x8B#print x\r\n\xEF\xBC\x83print y\r\n"
    "//ATZ\r\n-- reset\r\nREM reset\r\n'reset\r\n\"AT+CSQ\"\r\nATD#31#\r\nAT^QNAME=Pump #4\r\n"
    "AT+CPBW=1,\"x # y\"\r\n:x\r\n#stop\r\n";
const char ManyBytes[] =
    "^QABC:1\t\xC2\xA0\x01\x7F\xE2\x80\x94\t\t\xFF\xFE\xFF\xFE\xFE\xFE\xC3\xA9\r\n"
    "AT\xEF\xB8\x8FZ\xCA\xBC\xE2\xA0\x80\xF3\xA0\x81\x81\r\nATD\xE2\xB8\xBA\xEF\xBD\xA1\xE2\x81\xBB" "1\r\n"
    "\xE3\x85\xA4#print x\r\nATZ # reset\t\r\n//AT\tZ\r\n^QABCD:\r\n^QABC: 1\r\n#sleep20\r\n#exit1\r\n";
const Trap AccountTraps[] = {
    {std::string(AccountedBytes, sizeof AccountedBytes - 1),
     "1: error: #debug ignores \"off\" after its name: the run turns debug mode on [unread-argument]\n"
     "2: warning: #UTC ignores \"set the clock in UTC\" after its name: the run fills in the clock command in UTC "
     "from here on [unread-argument]\n"
     "3: warning: #if comes before any modem command, so it tests the answer to the wake-up [if-wake-up]\n"
     "3: error: #if ignores \"not\" before its condition: the run jumps to \"x\" when (OK) holds "
     "[unread-argument]\n"
     "4: warning: #nodebug ignores \"# quiet\" after its name: the run turns debug mode off [unread-argument]\n"
     "6: error: #wait reads the number 2 and ignores \"min\" after it: the run waits 2 s [number-rest]\n"
     "7: error: #exit is a command of other script languages, not of torvex: the run ignores the line and goes on "
     "into the lines after it, which send modem commands [foreign-command]\n"
     "8: error: #sleep is a command of other script languages, not of torvex: the run ignores the line and goes on "
     "into the lines after it, which send modem commands [foreign-command]\n"
     "10: error: line holds a tab at character 3, which the run sends to the device as part of the command "
     "[modem-bytes]\n"
     "11: error: line holds a curly double quote (U+201C) at character 9, which the run sends to the device as part "
     "of the command [modem-bytes]\n"
     "11: error: line holds a curly double quote (U+201D) at character 17, which the run sends to the device as "
     "part of the command [modem-bytes]\n"
     "12: warning: line holds U+00E9 \"\\xC3\\xA9\" at character 13, which is not ASCII: the run sends it to the "
     "device as it stands, and the device may not take it [non-ascii]\n"
     "13: error: line holds the byte \\xA0 at character 3, which is no UTF-8: the run sends it to the device as it "
     "stands [invalid-utf8]\n"
     "14: error: line holds a C1 control character (U+0085) at character 3, which the run sends to the device as "
     "part of the command [modem-bytes]\n"
     "15: error: line holds a full-width form (U+FF1F) at character 7, which the run sends to the device as part of "
     "the command [modem-bytes]\n"
     "16: error: line begins with a zero-width space (U+200B) before \"#\", so the run does not take it for a script "
     "command: it sends the line to the device [read-as-modem]\n"
     "17: error: line begins with a full-width \"#\", so the run does not take it for a script command: it sends the "
     "line to the device [read-as-modem]\n"
     "18: error: line begins with \"//\", which is no comment for the run: it sends the line to the device "
     "[modem-comment]\n"
     "19: error: line begins with \"--\", which is no comment for the run: it sends the line to the device "
     "[modem-comment]\n"
     "20: error: line begins with \"REM \", which is no comment for the run: it sends the line to the device "
     "[modem-comment]\n"
     "21: error: line begins with \"'\", which is no comment for the run: it sends the line to the device "
     "[modem-comment]\n"
     "22: error: line is wrapped in double quotes, as a spreadsheet export writes it: the run sends it to the "
     "device, quotes and all [read-as-modem]\n"
     "27: warning: #stop is a command of other script languages, not of torvex: the run ignores the line "
     "[foreign-command]\n"},
    // Each character a device cannot take is named, the first four of a kind
    // one by one and the rest counted; the line's other findings stay, and a
    // long line of tabs draws no finding for each read of blanks. The
    // shorthand keeps its colon without a space after it; a foreign command
    // with its number run on is still one.
    {std::string(ManyBytes) + "AT" + std::string(1000, '\t') + "Z\r\n#delay500\r\n",
     "1: error: line holds a tab at character 8, which the run sends to the device as part of the command "
     "[modem-bytes]\n"
     "1: error: line holds a no-break space (U+00A0) at character 9, which the run sends to the device as part of "
     "the command [modem-bytes]\n"
     "1: error: line holds a control byte at character 10, which the run sends to the device as part of the command "
     "[modem-bytes]\n"
     "1: error: line holds a control byte at character 11, which the run sends to the device as part of the command "
     "[modem-bytes]\n"
     "1: error: line holds the byte \\xFF at character 15, which is no UTF-8: the run sends it to the device as it "
     "stands [invalid-utf8]\n"
     "1: error: line holds the byte \\xFE at character 16, which is no UTF-8: the run sends it to the device as it "
     "stands [invalid-utf8]\n"
     "1: error: line holds the byte \\xFF at character 17, which is no UTF-8: the run sends it to the device as it "
     "stands [invalid-utf8]\n"
     "1: error: line holds the byte \\xFE at character 18, which is no UTF-8: the run sends it to the device as it "
     "stands [invalid-utf8]\n"
     "1: error: line holds 3 more characters the device cannot take after character 11, which the run sends to the "
     "device as part of the command: a dash once, a tab twice [modem-bytes]\n"
     "1: error: line holds 2 more bytes that are no UTF-8 after character 18: the run sends them to the device as "
     "they stand [invalid-utf8]\n"
     "1: warning: line holds U+00E9 \"\\xC3\\xA9\" at character 21, which is not ASCII: the run sends it to the "
     "device as it stands, and the device may not take it [non-ascii]\n"
     "1: error: the shorthand makes \": \" into \"=\" only with a space after the colon, and \"ABC:\" has none: the "
     "run sends the colon as it stands, \"AT^QABC:1\\t\\xC2\\xA0\\x01\\x7F\\xE2\\x80\\x94\\t\\t\\xFF\\xFE\\xFF"
     "\\xFE\\xFE\\xFE\\xC3\\xA9\\r\\n\" [shorthand-colon]\n"
     "2: error: line holds an invisible variation selector (U+FE0F) at character 3, which the run sends to the "
     "device as part of the command [modem-bytes]\n"
     "2: error: line holds a curly quote (U+02BC) at character 5, which the run sends to the device as part of the "
     "command [modem-bytes]\n"
     "2: error: line holds a blank Braille pattern (U+2800) at character 6, which the run sends to the device as part "
     "of the command [modem-bytes]\n"
     "2: error: line holds an invisible tag character (U+E0041) at character 7, which the run sends to the device as "
     "part of the command [modem-bytes]\n"
     "3: error: line holds a dash (U+2E3A) at character 4, which the run sends to the device as part of the command "
     "[modem-bytes]\n"
     "3: error: line holds an ideographic full stop (U+FF61) at character 5, which the run sends to the device as "
     "part of the command [modem-bytes]\n"
     "3: error: line holds a minus sign (U+207B) at character 6, which the run sends to the device as part of the "
     "command [modem-bytes]\n"
     "4: error: line begins with a Hangul filler (U+3164) before \"#\", so the run does not take it for a script "
     "command: it sends the line to the device [read-as-modem]\n"
     "5: error: line holds \"# reset\\t\" after the command, which is no comment for the run: it sends it to the "
     "device too [modem-comment]\n"
     "5: error: line holds a tab at character 12, which the run sends to the device as part of the command "
     "[modem-bytes]\n"
     "6: error: line begins with \"//\", which is no comment for the run: it sends the line to the device "
     "[modem-comment]\n"
     "6: error: line holds a tab at character 5, which the run sends to the device as part of the command "
     "[modem-bytes]\n"
     "7: error: the shorthand makes \": \" into \"=\" only with a space after the colon, and \"ABCD:\" has none: "
     "the run sends the colon as it stands, \"AT^QABCD:\\r\\n\" [shorthand-colon]\n"
     "9: error: #sleep20 is #sleep 20 run together, a command of other script languages, not of torvex: the run "
     "ignores the line and goes on into the lines after it, which send modem commands [foreign-command]\n"
     "10: error: #exit1 is #exit 1 run together, a command of other script languages, not of torvex: the run "
     "ignores the line and goes on into the lines after it, which send modem commands [foreign-command]\n"
     "11: error: line holds a tab at character 3, which the run sends to the device as part of the command "
     "[modem-bytes]\n"
     "11: error: line holds a tab at character 4, which the run sends to the device as part of the command "
     "[modem-bytes]\n"
     "11: error: line holds a tab at character 5, which the run sends to the device as part of the command "
     "[modem-bytes]\n"
     "11: error: line holds a tab at character 6, which the run sends to the device as part of the command "
     "[modem-bytes]\n"
     "11: error: line holds 393 more characters the device cannot take after character 6 in its first read, which "
     "the run sends to the device as part of the command: a tab 393 times [modem-bytes]\n"
     "11: error: line of 1003 characters is longer than one read (399): the run sends its first 399 characters with "
     "no line end, then reads the rest as 2 more lines: a modem command [long-line]\n"
     "12: warning: #delay500 is #delay 500 run together, a command of other script languages, not of torvex: the run "
     "ignores the line [foreign-command]\n"},
    // The directive keeps the new kinds off the next line too.
    {"# torvex-check: disable=unread-argument\r\n#debug off\r\n# torvex-check: disable=non-ascii\r\n"
     "AT^QNAME=Jos\xC3\xA9\r\n# torvex-check: disable=modem-bytes,shorthand-colon\r\n^QABC:1\t\t\t\t\t\t\r\n",
     ""},
    // A comment whose carriage return hides a command, with a NUL after it.
    {std::string("# a note\rAT\0Z\r\n", 15),
     "1: error: line holds a carriage return without a line feed, which does not end a line for the run: it takes "
     "what follows as part of this line, and those lines never run [carriage-return]\n"},
    // Conditions read otherwise, and a clock command the run does not fill in.
    {"AT+CSQ\r\n#if (>1O) x\r\n#if (\xE2\x80\x9COK\xE2\x80\x9D) x\r\n^QRTC =\r\n:x\r\n",
     "2: error: condition (>1O) reads the number 1 and ignores \"O\" after it (the letter O, not a zero): the run "
     "jumps when the response's number is greater than 1 [condition-rest]\n"
     "3: warning: condition (\\xE2\\x80\\x9COK\\xE2\\x80\\x9D) holds a curly double quote (U+201C) at character 1: "
     "the run looks for it as it stands, and the device's answers, in printable ASCII, never hold it: the #if never "
     "jumps [condition-bytes]\n"
     "4: error: the clock command has a blank before its \"=\", so the run does not fill it in: it sends "
     "\"AT^QRTC =\" as written, without the time [clock-blank]\n"},
    // The value a command sets is in its echo, which the run passes over,
    // where that command gives the response on every way to the #if; lines
    // that send nothing may come between.
    {"AT+CGDCONT=1,\"IP\",\"internet\"\r\n# the APN\r\n#print set\r\n#if (internet) x\r\nAT+CSQ\r\n#if (+CSQ) x\r\n"
     "#if (>10) y\r\nAT+CGDCONT=1,\"IP\",\"telstra\"\r\n:y\r\n#if (telstra) x\r\n:x\r\n",
     "4: warning: (internet) is part of the value the modem command on line 1 sets, which only its echo holds, and "
     "the run passes over the echo: the #if jumps only if the answer itself holds it [condition-in-echo]\n"},
    // A text that holds ERROR is one the author looks for.
    {"ATZ\r\n#if (No ERROR) x\r\n:x\r\n", ""},
};

TEST(Check, AccountsForEveryByteOfALine)
{
    ExpectFindings(AccountTraps, 1);
}

const Trap PathTraps[] = {
    {PollingLoop, ""},
    {SignalAfterPrompt, ""},
    {"ATZ\r\r\n^QVER?\r\r\n#TODO later\r\n#NOTE: the unit boots slowly\r\n# a comment\r\n", ""},
    {"ATZ\r#print hi\r:yes\rAT&F\r",
     "1: error: line holds carriage returns without line feeds, which do not end a line for the run: it sends what "
     "follows them to the device with this line, as one modem command, script commands and labels too "
     "[carriage-return]\n"},
    {"# set up\rATZ\r#print x\r",
     "1: error: line holds a carriage return without a line feed, which does not end a line for the run: it takes "
     "what follows as part of this line, and those lines never run [carriage-return]\n"},
    // How the run reads conditions and numbers; an answer may hold ERROR with OK.
    {"#if (OK) x\r\nATZ\r\n#if (ERROR) x\r\n#Waiting\r\n#wait 1.5\r\n#wait 1m\r\n#wait 500ms\r\n#waitsec 5\r\n"
     "#if (!=99) x\r\n#if (<3,500) x\r\n#if ( >15 ) x\r\n#if (!= 99) x\r\n:x\r\n",
     "1: warning: #if comes before any modem command, so it tests the answer to the wake-up [if-wake-up]\n"
     "3: warning: (ERROR) holds only for an answer that holds OK as well: an answer with ERROR alone ends the run "
     "before the #if, so it never sees a failure [condition-error]\n"
     "4: warning: #Waiting is read as #Wait, which finds no number after it and does nothing [name-runs-on]\n"
     "5: warning: #wait reads the number 1 and ignores \".5\" after it: the run waits 1 s [number-rest]\n"
     "6: error: #wait reads the number 1 and ignores \"m\" after it: the run waits 1 s [number-rest]\n"
     "7: error: #wait reads the number 500 and ignores \"ms\" after it: the run waits 500 s [number-rest]\n"
     "8: error: #waitsec is read as #wait, which finds no number after it and does nothing, though the line holds "
     "one [name-runs-on]\n"
     "9: warning: condition (!=99) is no comparison the run knows: it looks for the text \"!=99\" in the response "
     "[condition-text]\n"
     "10: warning: condition (<3,500) reads the number 3 and ignores \",500\" after it: the run jumps when the "
     "response's number is less than 3 [condition-rest]\n"
     "10: warning: (<3,500) compares the number after the \":\" of the answer, but on every way here the last modem "
     "command is one that answers OK alone, with no number: the #if never jumps [answer-ok-only]\n"
     "11: warning: condition ( >15 ) is no comparison the run knows: it looks for the text \" >15 \" in the response "
     "[condition-text]\n"
     "12: warning: condition (!= 99) is no comparison the run knows: it looks for the text \"!= 99\" in the response "
     "[condition-text]\n"},
    // Lines that end in LF CR: every line after the first begins with CR and is passed over.
    {"ATZ\n\rATI\n\r#print x\n\r# a note\n\r\n",
     "1: error: line ends in a line feed only, which the run removes from a plain command: it sends \"ATZ\" with "
     "no line end, and the device never sees the command end [line-end]\n"
     "2: error: line begins with a carriage return, so the run takes it for an empty line and passes over it: "
     "\"ATI\" never runs (lines that end in LF CR, not CR LF, all begin so) [carriage-return]\n"
     "3: error: line begins with a carriage return, so the run takes it for an empty line and passes over it: "
     "\"#print x\" never runs (lines that end in LF CR, not CR LF, all begin so) [carriage-return]\n"},
    {"#prompt Reset? (Y/N)\r\nAT+CPIN?\r\n#if (Y) reset\r\n#print kept\r\n:reset\r\nAT&F\r\n",
     "3: error: (Y) looks for the key of the #prompt on line 1, but the modem command on line 2 comes between: the "
     "response is its answer, whatever key was pressed [key-after-modem]\n"},
    // Along the ways back from the #if: a key the prompt offers is an error,
    // another a warning. A number after a command that answers OK alone never holds.
    {"ATI\r\n#prompt Check the radio?\r\nAT+CSQ\r\n#if (1) done\r\n#prompt Reset? (Y/N)\r\n#print resetting\r\n"
     "#print please wait\r\n#print still waiting\r\n#wait 1\r\nAT+CPIN?\r\n#if (Y) done\r\n:poll\r\nAT\r\n"
     "#if (>0) done\r\n#wait 1\r\n#goto poll\r\n:done\r\nATZ\r\n",
     "4: warning: (1) may look for the key of the #prompt on line 2, but the modem command on line 3 comes between: "
     "the response is its answer, whatever key was pressed [key-after-modem]\n"
     "11: error: (Y) looks for the key of the #prompt on line 5, but the modem command on line 10 comes between: the "
     "response is its answer, whatever key was pressed [key-after-modem]\n"
     "14: error: (>0) compares the number after the \":\" of the answer, but on every way here the last modem "
     "command is one that answers OK alone, with no number: the #if never jumps, and the loop it should end goes "
     "round forever [answer-ok-only]\n"},
    // Each #if's look along the ways costs a walk of the graph once in all,
    // not once for each #if: many in a row are checked well within the limit.
    {Repeated("AT+CSQ\r\n#if (1) x\r\n", 60000) + ":x\r\n", ""},
    {Repeated("AT\r\n# torvex-check: disable=answer-ok-only\r\n#if (>0) x\r\n", 60000) + ":x\r\n", ""},
    // A line met first on a way with no prompt passes on a key lost on a way met later.
    {"AT+A\r\n#if (READY) c\r\n#prompt Go on? (Y/N)\r\nAT+B\r\n:c\r\n#print x\r\n#if (Y) yes\r\nATZ\r\n:yes\r\n",
     "7: error: (Y) looks for the key of the #prompt on line 3, but the modem command on line 4 comes between: the "
     "response is its answer, whatever key was pressed [key-after-modem]\n"},
    // A prompt no path runs is no prompt whose key an #if may mean.
    {"AT+CSQ\r\n#goto a\r\n#prompt Reset? (Y/N)\r\nATZ\r\n:a\r\nATI\r\n#if (Y) x\r\n:x\r\n",
     "3: warning: no path from the start of the script reaches lines 3-4 [unreachable]\n"},
    // However far back the prompt is, and however long the poll loop.
    {"#prompt Reset? (Y/N)\r\nAT+CPIN?\r\n" + Repeated("#print x\r\n", 3000) + "#if (Y) reset\r\n:reset\r\n:poll\r\nAT\r\n"
         "#if (>0) done\r\n" + Repeated("#print x\r\n", 300) + "#goto poll\r\n:done\r\nATZ\r\n",
     "3003: error: (Y) looks for the key of the #prompt on line 1, but the modem command on line 2 comes between: the "
     "response is its answer, whatever key was pressed [key-after-modem]\n"
     "3007: error: (>0) compares the number after the \":\" of the answer, but on every way here the last modem "
     "command is one that answers OK alone, with no number: the #if never jumps, and the loop it should end goes "
     "round forever [answer-ok-only]\n"
     "3310: warning: no path from the start of the script reaches this line [unreachable]\n"},
    // Modem lines a device cannot take, each sent as it stands.
    {std::string(DeviceBytes, sizeof DeviceBytes - 1),
     "1: error: line holds a form feed (page break) at character 1, which the run sends to the device as part of "
     "the command [modem-bytes]\n"
     "2: error: line holds a no-break space (U+00A0) at character 4, which the run sends to the device as part of "
     "the command [modem-bytes]\n"
     "3: error: line begins with a UTF-8 byte order mark, as where files were joined, so the run sends it to the "
     "device, mark and all [byte-order-mark]\n"
     "4: error: line holds \"# reset\" after the command, which is no comment for the run: it sends it to the "
     "device too [modem-comment]\n"
     "5: error: line begins with \";\", which is no comment for the run: it sends the line to the device "
     "[modem-comment]\n"
     "6: error: the shorthand makes \": \" into \"=\" only after a name of three or four letters, and \"ABCDE\" "
     "has 5: the run sends the colon as it stands, \"AT^QABCDE: 1\\r\\n\" [shorthand-colon]\n"
     "9: error: line begins with a blank, so the run does not fill in the clock command: it sends it as written, "
     "without the time [blank-start]\n"},
    // Lines that do nothing and read as prose or separators draw nothing; near-misses still do.
    {ProseAndSeparators,
     "1: warning: the line reads as prose, but the run takes #If for #if, which finds no \"(\" and does nothing: "
     "make it a comment (\"# \" and the text) [prose-command]\n"
     "8: warning: the line reads as prose, but the run takes #Waiting for #wait, which finds no number and does "
     "nothing: make it a comment (\"# \" and the text) [prose-command]\n"
     "9: error: #tiemout is no script command, so the run ignores the line: did you mean #timeout? "
     "[unknown-command]\n"
     "10: error: #bel is no script command, so the run ignores the line: did you mean #bell? [unknown-command]\n"
     "13: warning: label name is longer than 39 characters: the run keeps only \"" + std::string(38, 'n') +
         " \", and a jump finds the label by those [label-long]\n"},
    {std::string(PathBytes, sizeof PathBytes - 1),
     "2: error: line holds a NUL byte: the run reads only the 8 characters before it [nul-byte]\n"
     "3: error: label line holds a NUL byte: the label's name ends before it, so jumps by the whole name do not "
     "find it [nul-byte]\n"
     "4: warning: #print text \"\\x1B[2J\\x7F\" holds control bytes, which reach the terminal as they are "
     "[control-bytes]\n"},
    {"#timeout 0\r\n#goto send\r\n#print skipped\r\n:send\r\nATZ\r\n",
     "1: error: #timeout sets the time-out to 0 s: every modem command after it fails at once, without waiting for "
     "an answer [number-value]\n"
     "3: warning: no path from the start of the script reaches this line [unreachable]\n"},
    // A jump in the first read of a long line passes over the rest of it.
    {"ATZ\r\n#goto " + LongName + "\r\n:" + LongName + "\r\nATI\r\n",
     "2: error: line of 406 characters is longer than one read (399): the run reads the rest as 1 more line: a "
     "modem command [long-line]\n"
     "2: warning: no path from the start of the script reaches the rest of this line [unreachable]\n"
     "3: warning: label name is longer than 39 characters: the run keeps only \"" + LongName.substr(0, 39) +
         "\", and a jump finds the label by those [label-long]\n"
     "3: error: line of 401 characters is longer than one read (399): the run reads the rest as 1 more line: a "
     "modem command [long-line]\n"},
    {"ATZ\r\n:ask\r\n#prompt Again?\r\n#goto ask\r\nATI\r\n",
     "4: error: the loop through lines 3-4 has no way out: the run loops forever [endless-loop]\n"
     "5: warning: no path from the start of the script reaches this line [unreachable]\n"},
    // The comment after the unreached line is no step of the run.
    {"AT\r\n#goto end\r\nATI\r\n# a comment\r\n:end\r\nAT\r\n",
     "3: warning: no path from the start of the script reaches this line [unreachable]\n"},
};

TEST(Check, FollowsTheJumps)
{
    ExpectFindings(PathTraps, 1);
}

// The keys a run's prompts read, from a pipe.
RunOptions Keys(const std::string& keys)
{
    RunOptions options;
    options.input = Stdin::Pipe;
    options.data = keys;
    return options;
}

// The checker is silent on the polling loop and on the condition reached from
// a modem command; real runs on the device simulator, torvex-sim, counting
// its answers as examples/counter.answers says, show the loop ends after
// three polls and the condition jumps.
TEST(Check, SilentWhereTheRunDoesWhatTheScriptSays)
{
    const std::string polling = ScriptArg(WriteScript(PollingLoop));
    const std::string signal = ScriptArg(WriteScript(SignalAfterPrompt));
    RunResult r = Check({"--strict", polling, signal});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    if (UnderWine()) {
        GTEST_SKIP() << "torvex-sim is a POSIX program; the Linux build runs the scripts on it";
    }

    const std::string link = "/tmp/torvex-check-sim-" + std::to_string(getpid());
    RunOptions simulator;
    simulator.command = {CompanionExe("tools/torvex-sim"), "--link", link, "--answers",
                         std::string(TORVEX_SOURCE_DIR) + "/examples/counter.answers"};
    RunningTorvex sim({}, simulator);
    ASSERT_TRUE(sim.WaitForOutput(link, 10000)) << sim.Output();

    r = RunTorvex({polling, "-PORT=" + link});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Got \"^QCNT: 3, OK\"\n\r\ndone\n"), std::string::npos) << r.out;
    size_t polls = 0;
    for (size_t at = r.out.find("AT^QCNT?"); at != std::string::npos; at = r.out.find("AT^QCNT?", at + 1)) {
        polls++;
    }
    EXPECT_EQ(polls, 3u) << r.out;

    r = RunTorvex({signal, "-PORT=" + link}, Keys("y"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("+CSQ: 23,99, OK\"\n\r\ngood\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("weak"), std::string::npos) << r.out;

    // Where the checker finds a fault, the run shows it: lines that end in
    // LF CR are passed over, a key condition after a modem command tests the
    // answer ("TORVEX-SIM" holds an M whatever key is pressed), and (OK)
    // after a modem command always jumps.
    const std::string lfcr = ScriptArg(WriteScript("#print start\n\rATZ\n\r#print end\n\r"));
    const std::string keyed = ScriptArg(WriteScript("#prompt Model? (M/N)\r\nAT+CGMM\r\n#if (M) model\r\n"
                                                    "#print kept\r\n:model\r\nATZ\r\n#if (OK) next\r\n"
                                                    "#print failed\r\n:next\r\n#print next\r\n"));
    r = Check({lfcr, keyed});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, lfcr + ":2: error: line begins with a carriage return, so the run takes it for an empty line and "
                            "passes over it: \"ATZ\" never runs (lines that end in LF CR, not CR LF, all begin so) "
                            "[carriage-return]\n" +
                         lfcr + ":3: error: line begins with a carriage return, so the run takes it for an empty line "
                                "and passes over it: \"#print end\" never runs (lines that end in LF CR, not CR LF, "
                                "all begin so) [carriage-return]\n" +
                         keyed + ":3: error: (M) looks for the key of the #prompt on line 1, but the modem command on "
                                 "line 2 comes between: the response is its answer, whatever key was pressed "
                                 "[key-after-modem]\n" +
                         keyed + ":7: warning: every answer the run goes on after holds OK, so (OK) always holds "
                                 "after a modem command: the #if always jumps [if-always]\n" +
                         keyed + ":8: warning: no path from the start of the script reaches this line "
                                 "[unreachable]\n");
    r = RunTorvex({lfcr, "-PORT=" + link});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\r\nstart\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("ATZ"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("end"), std::string::npos) << r.out;
    r = RunTorvex({keyed, "-PORT=" + link}, Keys("n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("kept"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("failed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r\nnext\n"), std::string::npos) << r.out;
    sim.Signal(SIGTERM);
    sim.Wait();
}

TEST(Check, ExamplesCheckCleanEvenWhenStrict)
{
    const std::string examples = std::string(TORVEX_SOURCE_DIR) + "/examples/";
    std::vector<std::string> args = {"--strict"};
    for (const char* name : {"clock.txt", "factory.txt", "retry.txt", "signal.txt"}) {
        args.push_back(ScriptArg(examples + name));
    }
    const RunResult r = Check(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

}  // namespace
