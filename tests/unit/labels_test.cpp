// The label index over real script files, and jumps to its labels.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "script/labels.h"
#include "support/capture.h"
#include "support/process_state.h"
#include "support/temp_script.h"

namespace {

class LabelIndex : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }
    void TearDown() override { ResetProcessState(); }

    // Writes and indexes a script.
    FILE* Load(const std::string& content)
    {
        script_ = TempScript(content);
        if (script_ == nullptr) {
            ADD_FAILURE() << "tmpfile failed";
            return nullptr;
        }
        ScanFileForLabels(script_.get());
        return script_.get();
    }

    // Jumps by name; the line that follows, and what was printed.
    std::string Jump(const char* name, std::string* printed = nullptr)
    {
        bool found = false;
        const std::string out = CaptureStdout([&] { found = Goto(script_.get(), name); });
        if (printed != nullptr) {
            *printed = out;
        } else {
            EXPECT_EQ(out, "") << name;
        }
        EXPECT_EQ(found, out.empty()) << name;
        return NextLine(script_.get());
    }

    ScriptHandle script_;
};

const char Loop[] =
    "ATZ\r\n"
    ":Retry\r\n"
    "AT+CSQ\r\n"
    "#if (<10) retry\r\n"
    ":done\r\n"
    "ATH\r\n";

TEST_F(LabelIndex, ScanLeavesTheScriptAtItsStart)
{
    FILE* f = Load(Loop);
    EXPECT_EQ(NextLine(f), "ATZ\r\n");
    EXPECT_EQ(NextLine(f), ":Retry\r\n");
}

TEST_F(LabelIndex, JumpsIgnoreLetterCase)
{
    Load(Loop);
    EXPECT_EQ(Jump("retry"), "AT+CSQ\r\n");
    EXPECT_EQ(Jump("DONE"), "ATH\r\n");
    EXPECT_EQ(Jump("Retry"), "AT+CSQ\r\n");
}

TEST_F(LabelIndex, JumpingBackwardsRereadsTheLinesBetween)
{
    FILE* f = Load(Loop);
    EXPECT_EQ(Jump("done"), "ATH\r\n");
    EXPECT_EQ(NextLine(f), "<EOF>");
    EXPECT_EQ(Jump("retry"), "AT+CSQ\r\n");
    EXPECT_EQ(NextLine(f), "#if (<10) retry\r\n");
}

TEST_F(LabelIndex, MissingLabelOrFailedMoveIsReportedAndThePositionKept)
{
    FILE* f = Load(Loop);
    EXPECT_EQ(NextLine(f), "ATZ\r\n");
    std::string printed;
    EXPECT_EQ(Jump("nowhere ", &printed), ":Retry\r\n");
    EXPECT_EQ(printed, "Label \"nowhere \" not found.\n");
    EXPECT_EQ(Jump("", &printed), "AT+CSQ\r\n");
    EXPECT_EQ(printed, "Label \"\" not found.\n");
    // A position the script cannot be moved to.
    LabelRec* bad = static_cast<LabelRec*>(calloc(1, sizeof(LabelRec)));
    ASSERT_NE(bad, nullptr);
    bad->Offset = -1;
    strcpy(bad->Label, "bad");
    bad->Next = Labels;
    Labels = bad;
    Jump("BAD", &printed);  // where a failed move leaves a stream is the C library's affair
    EXPECT_EQ(printed, "Error jumping to label \"BAD\": Invalid argument\n");
}

TEST_F(LabelIndex, BlanksInADefinitionArePartOfTheName)
{
    Load(": done\r\n"
         "one\r\n"
         ":end \t\n"
         "two\n"
         ":\r\n"
         "three\r\n");
    std::string printed;
    Jump("done", &printed);
    EXPECT_EQ(printed, "Label \"done\" not found.\n");
    EXPECT_EQ(Jump(" done"), "one\r\n");
    Jump("end", &printed);
    EXPECT_EQ(printed, "Label \"end\" not found.\n");
    EXPECT_EQ(Jump("END \t"), "two\n");
    // A line of only the colon defines the empty name.
    EXPECT_EQ(Jump(""), "three\r\n");
}

TEST_F(LabelIndex, LastDefinitionOfANameWins)
{
    Load(":again\n"
         "first\n"
         ":AGAIN\n"
         "second\n");
    EXPECT_EQ(Jump("again"), "second\n");
}

TEST_F(LabelIndex, LabelOnALastLineWithoutLineEndJumpsToTheEnd)
{
    FILE* f = Load("ATZ\n:last");
    EXPECT_EQ(Jump("last"), "<EOF>");
    EXPECT_EQ(ftell(f), 9L);
}

TEST_F(LabelIndex, LongNamesAreCutAndStillFound)
{
    const std::string name60 = "L123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX";
    ASSERT_EQ(name60.size(), 60u);
    Load(":" + name60 + "\r\nafter\r\n");
    ASSERT_NE(Labels, nullptr);
    EXPECT_EQ(std::string(Labels->Label), name60.substr(0, LABEL_MAX));
    EXPECT_EQ(Jump(name60.c_str()), "after\r\n");
    EXPECT_EQ(Jump(name60.substr(0, 39).c_str()), "after\r\n");
}

}  // namespace
