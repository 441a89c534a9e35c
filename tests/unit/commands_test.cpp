// Script commands: settings, pauses, messages, the prompt, and jumps.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "run/settings.h"
#include "script/commands.h"
#include "script/line.h"
#include "script/modem.h"
#include "serial/response.h"
#include "support/capture.h"
#include "support/process_state.h"
#include "support/temp_script.h"

namespace {

class ScriptCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetProcessState();
        script_ = TempScript("first\r\n:yes\r\nafter yes\r\n:\r\nafter empty\r\n");
        ASSERT_NE(script_, nullptr);
        ScanFileForLabels(script_.get());
    }
    void TearDown() override { ResetProcessState(); }

    // Carries out the text after "#" and answers what was printed.
    std::string Run(const std::string& text)
    {
        char buf[LINE_BUFFER_SIZE];
        memcpy(buf, text.c_str(), text.size() + 1);
        return CaptureStdout([&] { ProcessCommand(script_.get(), buf); });
    }

    // The response text as a wait leaves it after this read.
    void Received(const std::string& rx)
    {
        memcpy(RxData, rx.c_str(), rx.size() + 1);
        Response("AT+CSQ\r", RxData);
    }

    // Where the script goes on after the command: "after yes" when it jumped to yes.
    std::string Continues(const std::string& text, const std::string& printed = "")
    {
        rewind(script_.get());
        EXPECT_EQ(Run(text), printed) << text;
        return NextLine(script_.get());
    }

    static long long MillisecondsOf(const std::function<void()>& fn)
    {
        const auto start = std::chrono::steady_clock::now();
        fn();
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    }

    ScriptHandle script_;
};

const std::string Jumped = "after yes\r\n";
const std::string Stayed = "first\r\n";

TEST_F(ScriptCommand, DebugInAnyCaseAndAsAPrefix)
{
    for (const char* on : {"Debug\r\n", "DEBUG\r\n", "debug\r\n", "debugging\r\n", "debug"}) {
        Debug = false;
        EXPECT_EQ(Run(on), "");
        EXPECT_TRUE(Debug) << on;
    }
    for (const char* off : {"nodebug\r\n", "NoDebug\r\n", "NODEBUG"}) {
        Debug = true;
        EXPECT_EQ(Run(off), "");
        EXPECT_FALSE(Debug) << off;
    }
}

TEST_F(ScriptCommand, UtcAndNzstChooseTheClock)
{
    EXPECT_EQ(Run("utc\r\n"), "");
    EXPECT_TRUE(UTC);
    EXPECT_EQ(Run("NZST\r\n"), "");
    EXPECT_FALSE(UTC);
    EXPECT_EQ(Run("UTC"), "");
    EXPECT_TRUE(UTC);
    EXPECT_EQ(Run("nzst"), "");
    EXPECT_FALSE(UTC);
}

TEST_F(ScriptCommand, UnknownCommandsDoNothing)
{
    for (const char* text : {"hello\r\n", "\r\n", "", " debug\r\n", "DEBU\r\n", "I\r\n"}) {
        EXPECT_EQ(Run(text), "") << text;
    }
    EXPECT_FALSE(Debug);
    EXPECT_FALSE(UTC);
    EXPECT_EQ(Timeout, 10);
    EXPECT_EQ(NextLine(script_.get()), Stayed);
}

TEST_F(ScriptCommand, TimeoutNumberStartsOneCharacterAfterTheName)
{
    struct Case {
        const char* text;
        int32_t timeout;
    } cases[] = {
        {"timeout 30\r\n", 30},
        {"TIMEOUT\t45\r\n", 45},
        {"Timeout   7\r\n", 7},
        {"timeout=12\r\n", 12},
        {"timeout30\r\n", 0},
        {"timeout -5\r\n", -5},
        {"timeout 99999999999\r\n", INT32_MAX},
        {"timeout 4x\r\n", 4},
        // No number there: nothing changes.
        {"timeout", 10},
        {"timeout\r\n", 10},
        {"timeout \r\n", 10},
        {"timeout x\r\n", 10},
        {"timeouts\r\n", 10},
    };
    for (const Case& c : cases) {
        Timeout = 10;
        EXPECT_EQ(Run(c.text), "") << c.text;
        EXPECT_EQ(Timeout, c.timeout) << c.text;
    }
}

TEST_F(ScriptCommand, WaitWithNothingToWaitForReturnsAtOnce)
{
    for (const char* text : {"wait 0\r\n", "WAIT -3\r\n", "wait -2147483648\r\n", "wait\r\n", "wait", "wait x\r\n",
                             "wait1\r\n"}) {
        std::string out;
        EXPECT_LT(MillisecondsOf([&] { out = Run(text); }), 300) << text;
        EXPECT_EQ(out, "") << text;
    }
}

TEST_F(ScriptCommand, WaitPausesForTheSeconds)
{
    const long long ms = MillisecondsOf([&] { Run("Wait 1\r\n"); });
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 2000);
}

TEST_F(ScriptCommand, BellRingsTheConsole)
{
    EXPECT_EQ(Run("bell\r\n"), "\a");
    EXPECT_EQ(Run("BELL"), "\a");
}

TEST_F(ScriptCommand, PrintShowsTheMessageOnItsOwnLine)
{
    struct Case {
        const char* text;
        const char* printed;
    } cases[] = {
        {"print Hello world\r\n", "\r\nHello world\n"},
        {"PRINT \t  trailing blanks stay  \r\n", "\r\ntrailing blanks stay  \n"},
        {"Print:x\n", "\r\n:x\n"},
        {"print a\rb\nc\r\n", "\r\nabc\n"},
        {"print\r\n", "\r\n\n"},
        {"print", "\r\n\n"},
        {"printing\r\n", "\r\ning\n"},
        {"print 100% done\r\n", "\r\n100% done\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.text), c.printed) << c.text;
    }
}

TEST_F(ScriptCommand, PromptStoresTheKeyInUpperCase)
{
    struct Case {
        const char* input;
        const char* stored;
    } cases[] = {{"y", "Y"}, {"Yes", "Y"}, {"n\n", "N"}, {"7", "7"}, {"", ""}};
    for (const Case& c : cases) {
        char* const before = RespStr;
        std::string out;
        WithStdin(c.input, [&] { out = Run("prompt  Continue? (y/n) \r\n"); });
        EXPECT_EQ(out, "\r\nContinue? (y/n) \n") << c.input;
        EXPECT_EQ(RespStr, before) << c.input;
        EXPECT_STREQ(RespStr, c.stored) << c.input;
    }
}

TEST_F(ScriptCommand, PromptOverwritesTheResponseWhereItStands)
{
    Received("AT+CSQ\r\r\n+CSQ: 23,99\r\nOK\r\n");
    WithStdin("y", [&] { Run("PROMPT Again?\r\n"); });
    EXPECT_EQ(RespStr, RxData + 9);
    EXPECT_STREQ(RxData + 9, "Y");
    EXPECT_EQ(Continues("if (Y) yes\r\n"), Jumped);
    EXPECT_EQ(Continues("if (>0) yes\r\n"), Stayed);
}

TEST_F(ScriptCommand, GotoTakesTheNameWithoutLeadingBlanks)
{
    EXPECT_EQ(Continues("goto  \tYES\r\n"), Jumped);
    EXPECT_EQ(Continues("GOTO yes \r\n", "Label \"yes \" not found.\n"), Stayed);
    EXPECT_EQ(Continues("goto\r\n"), "after empty\r\n");
}

TEST_F(ScriptCommand, TextConditionSearchesTheResponseExactly)
{
    Received("AT+CSQ\r\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
    EXPECT_EQ(Continues("if (OK) yes\r\n"), Jumped);
    EXPECT_EQ(Continues("IF(OK)yes"), Jumped);
    EXPECT_EQ(Continues("if (: 23,) Yes\r\n"), Jumped);
    EXPECT_EQ(Continues("if (ok) yes\r\n"), Stayed);
    EXPECT_EQ(Continues("if ( OK) yes\r\n"), Stayed);
    EXPECT_EQ(Continues("if (OK ) yes\r\n"), Stayed);
    // The condition ends at the first ")": a later one belongs to the label's name.
    EXPECT_EQ(Continues("if (OK) nowhere)\r\n", "Label \"nowhere)\" not found.\n"), Stayed);
    // The echo is not part of the response text.
    EXPECT_EQ(Continues("if (AT+CSQ) yes\r\n"), Stayed);
}

TEST_F(ScriptCommand, EmptyConditionNeverJumps)
{
    Received("OK\r\n");
    EXPECT_EQ(Continues("if () yes\r\n"), Stayed);
}

TEST_F(ScriptCommand, MissingParenthesisDoesNothing)
{
    Received("OK\r\n");
    EXPECT_EQ(Continues("if OK) yes\r\n"), Stayed);
    EXPECT_EQ(Continues("if (OK yes\r\n"), Stayed);
    EXPECT_EQ(Continues("if\r\n"), Stayed);
}

TEST_F(ScriptCommand, ConditionWithoutLabelLooksForTheEmptyName)
{
    Received("OK\r\n");
    // This script has a line of only ":", so the empty name is found.
    EXPECT_EQ(Continues("if (OK)\r\n"), "after empty\r\n");
    ResetProcessState();
    Received("OK\r\n");
    EXPECT_EQ(Continues("if (OK)\r\n", "Label \"\" not found.\n"), Stayed);
    EXPECT_EQ(Continues("if (OK) nowhere  \r\n", "Label \"nowhere  \" not found.\n"), Stayed);
}

TEST_F(ScriptCommand, NumericConditionComparesTheNumberAfterTheFirstColon)
{
    Received("AT+CSQ\r\r\n+CSQ: 23,99\r\nOK\r\n");
    struct Case {
        const char* condition;
        bool jumps;
    } cases[] = {
        {">10", true}, {">23", false}, {"<24", true}, {"<23", false}, {"=23", true}, {"=22", false},
        {"> 10", true}, {">+22", true}, {"=23,99", true}, {">abc", true}, {"<", false}, {"=", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Continues(std::string("if (") + c.condition + ") yes\r\n"), c.jumps ? Jumped : Stayed)
            << c.condition;
    }
}

TEST_F(ScriptCommand, NumericConditionReadsSignsAndMissingDigits)
{
    Received("A: -7 B: 50\r\n");
    EXPECT_EQ(Continues("if (<0) yes\r\n"), Jumped);
    EXPECT_EQ(Continues("if (=-7) yes\r\n"), Jumped);
    EXPECT_EQ(Continues("if (>-8) yes\r\n"), Jumped);
    Received("+CME ERROR: unknown\r\n");
    EXPECT_EQ(Continues("if (=0) yes\r\n"), Jumped);
    EXPECT_EQ(Continues("if (<1) yes\r\n"), Jumped);
}

TEST_F(ScriptCommand, NumericConditionWithoutColonNeverJumps)
{
    Received("AT+CSQ\r\r\nOK\r\n");
    for (const char* c : {"if (<100) yes\r\n", "if (>-100) yes\r\n", "if (=0) yes\r\n"}) {
        EXPECT_EQ(Continues(c), Stayed) << c;
    }
    // Before the first answer the response text is empty.
    ResetProcessState();
    EXPECT_EQ(Continues("if (=0) yes\r\n"), Stayed);
}

TEST_F(ScriptCommand, NumericValuesBeyondThirtyTwoBitsSaturate)
{
    Received("+X: 99999999999\r\n");
    EXPECT_EQ(Continues("if (=2147483647) yes\r\n"), Jumped);
    EXPECT_EQ(Continues("if (>2147483646) yes\r\n"), Jumped);
    EXPECT_EQ(Continues("if (<99999999999) yes\r\n"), Stayed);
    EXPECT_EQ(Continues("if (=99999999999) yes\r\n"), Jumped);
    Received("+X: -99999999999\r\n");
    EXPECT_EQ(Continues("if (=-2147483648) yes\r\n"), Jumped);
    EXPECT_EQ(Continues("if (>-99999999999) yes\r\n"), Stayed);
}

// What the reading passes over, as the checker is told it: the text each
// command leaves unread, in the text as written.
TEST(CommandUse, NamesTheBytesTheReadingLeavesUnread)
{
    struct Case {
        const char* text;
        std::string skipped, before, after;
    };
    const Case cases[] = {
        {"debug off\r\n", "", "", " off"},
        {"UTC  \r\n", "", "", ""},
        {"wait 5 seconds\r\n", " ", "", " seconds"},
        {"timeout30\r\n", "3", "", ""},
        {"wait\r\n", "", "", ""},
        {"if not (OK) x\r\n", "", " not ", ""},
        {"if OK x\r\n", "", " OK x", ""},
        {"print a b\r\n", "", "", ""},
        {"goto x  \r\n", "", "", ""},
        {"exit now\r\n", "", "exit now", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const CommandUse use = UseOf(c.text);
        const auto text = [&](Unread u) { return std::string(c.text + u.From, u.To - u.From); };
        EXPECT_EQ(text(use.Skipped), c.skipped);
        EXPECT_EQ(text(use.Before), c.before);
        EXPECT_EQ(text(use.After), c.after);
    }
}

}  // namespace
