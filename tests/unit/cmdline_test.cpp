// The command line read into the run's settings, and the usage text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/settings.h"
#include "support/capture.h"
#include "support/process_state.h"
#include "support/usage.h"

namespace {

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override { ResetProcessState(); }
    void TearDown() override { ResetProcessState(); }

    // Runs ProcessCmdLine on the program name followed by args; the texts stay
    // alive in the fixture because the settings point into them.
    bool Run(std::vector<std::string> args)
    {
        args_ = std::move(args);
        args_.insert(args_.begin(), "torvex");
        argv_.clear();
        for (std::string& arg : args_) {
            argv_.push_back(&arg[0]);
        }
        argv_.push_back(nullptr);
        bool result = false;
        out_ = CaptureStdout([&] { result = ProcessCmdLine(static_cast<int>(args_.size()), argv_.data()); });
        return result;
    }

    std::vector<std::string> args_;
    std::vector<char*> argv_;
    std::string out_;
};

TEST_F(CommandLine, UsageTextIsExact)
{
    EXPECT_EQ(CaptureStdout(ShowHelp), Usage);
}

TEST_F(CommandLine, DefaultsHoldWithOnlyAScriptName)
{
    EXPECT_TRUE(Run({"script.txt"}));
    EXPECT_EQ(out_, "");
    EXPECT_STREQ(ScriptFile, "script.txt");
    EXPECT_STREQ(PortName, "COM1");
    EXPECT_EQ(BaudRate, 9600u);
    EXPECT_FALSE(Debug);
    EXPECT_FALSE(UTC);
    EXPECT_EQ(Timeout, 10);
}

TEST_F(CommandLine, NoArgumentsAsksForAScript)
{
    EXPECT_FALSE(Run({}));
    EXPECT_EQ(out_, std::string("No script file specified.\n") + Usage);
    EXPECT_FALSE(HelpAsked);
}

TEST_F(CommandLine, HelpStopsAtOnceEvenAfterAScriptName)
{
    for (const char* help : {"?", "-?", "?anything", "-?x"}) {
        ResetProcessState();
        EXPECT_FALSE(Run({"script.txt", help, "-DEBUG", "-PORT=COM7"})) << help;
        EXPECT_EQ(out_, Usage) << help;
        EXPECT_TRUE(HelpAsked) << help;
        // Later arguments are not looked at.
        EXPECT_FALSE(Debug) << help;
        EXPECT_STREQ(PortName, "COM1") << help;
    }
}

TEST_F(CommandLine, PortNameIgnoresCaseAndMayBeEmpty)
{
    EXPECT_TRUE(Run({"-port=COM2", "s"}));
    EXPECT_STREQ(PortName, "COM2");
    EXPECT_TRUE(Run({"s", "-PORT="}));
    EXPECT_STREQ(PortName, "");
    EXPECT_EQ(out_, "");
}

TEST_F(CommandLine, BaudReadsALeadingNumber)
{
    struct Case {
        const char* arg;
        uint32_t expected;
    } cases[] = {
        {"-BAUD=19200x", 19200u},
        {"-baud=  \t115200", 115200u},
        {"-BAUD=+300", 300u},
        {"-BAUD=fast", 9600u},
        {"-BAUD=", 9600u},
        {"-BAUD=-1", 4294967295u},
        {"-BAUD=-2147483648", 2147483648u},
        // Beyond the signed 32-bit range the number saturates.
        {"-BAUD=99999999999", 2147483647u},
        {"-BAUD=4294967297", 2147483647u},
    };
    for (const Case& c : cases) {
        ResetProcessState();
        EXPECT_TRUE(Run({"s", c.arg})) << c.arg;
        EXPECT_EQ(BaudRate, c.expected) << c.arg;
        EXPECT_EQ(out_, "") << c.arg;
    }
}

TEST_F(CommandLine, SwitchesMatchByPrefixIgnoringCase)
{
    EXPECT_TRUE(Run({"-debugger", "s"}));
    EXPECT_TRUE(Debug);
    EXPECT_FALSE(UTC);
    ResetProcessState();
    EXPECT_TRUE(Run({"-utc", "s"}));
    EXPECT_TRUE(UTC);
    EXPECT_FALSE(Debug);
    ResetProcessState();
    EXPECT_TRUE(Run({"-UTCtime", "-Debug", "s"}));
    EXPECT_TRUE(UTC);
    EXPECT_TRUE(Debug);
}

TEST_F(CommandLine, UnknownOptionsAreIgnoredSilently)
{
    EXPECT_TRUE(Run({"-VERBOSE", "-PORT", "-BAUD", "-DEBU", "-UT", "s"}));
    EXPECT_EQ(out_, "");
    EXPECT_STREQ(PortName, "COM1");
    EXPECT_EQ(BaudRate, 9600u);
    EXPECT_FALSE(Debug);
    EXPECT_FALSE(UTC);
    EXPECT_STREQ(ScriptFile, "s");
}

TEST_F(CommandLine, LastScriptNameWins)
{
    EXPECT_TRUE(Run({"first.txt", "-DEBUG", "second.txt"}));
    EXPECT_STREQ(ScriptFile, "second.txt");
}

TEST_F(CommandLine, EmptyArgumentAndADashAloneAreScriptNames)
{
    for (const char* name : {"", "-"}) {
        ResetProcessState();
        EXPECT_TRUE(Run({name}));
        ASSERT_NE(ScriptFile, nullptr);
        EXPECT_STREQ(ScriptFile, name);
        EXPECT_EQ(out_, "");
    }
}

}  // namespace
