// The checker against the run, over scripts generated from the grammar: a
// bounded number here, as many as time allows with TORVEX_DIFF_SECONDS set;
// and the checker's two readings of one script.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "diff/differential.h"
#include "run/settings.h"
#include "support/capture.h"
#include "tools/check/check.h"

namespace {

// A file of this test's own in TMPDIR, or /tmp.
std::string TempPath(const char* name)
{
    const char* tmp = getenv("TMPDIR");
    return std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/" + name + std::to_string(getpid()) +
           ".txt";
}

}  // namespace

TEST(Differential, CheckerClaimsHoldInRealRuns)
{
    const char* seconds = getenv("TORVEX_DIFF_SECONDS");
    const auto limit = std::chrono::seconds(seconds != nullptr ? atoi(seconds) : 3);
    const auto start = std::chrono::steady_clock::now();
    const std::string path = TempPath("torvex-diff-");
    int scripts = 0;
    int failures = 0;
    for (uint64_t seed = 1; std::chrono::steady_clock::now() - start < limit; seed++) {
        Choices choices(seed);
        const std::string found = Disagreements(GenerateScript(&choices), path);
        scripts++;
        if (!found.empty() && ++failures <= 3) {
            ADD_FAILURE() << "seed " << seed << ":\n" << found;
        }
    }
    unlink(path.c_str());
    EXPECT_EQ(failures, 0);
    EXPECT_GT(scripts, 100);  // it did run
    RecordProperty("scripts", scripts);
}

// The checker reads the script twice. A script rewritten, cut short or grown
// between the readings stops the check where the second reading finds other
// bytes, before any finding about them, and says so.
TEST(Differential, ScriptChangedBetweenTheReadingsStopsTheCheck)
{
    const std::string path = TempPath("torvex-changed-");
    // Several chunks of reading: a missing label on the first line and the last.
    std::string script = "#goto first\r\n";
    while (script.size() < (3u << 20)) {
        script += "AT+CSQ\r\n#print waiting for the unit\r\n";
    }
    script += "#goto last\r\n";
    const long lastLine = static_cast<long>(std::count(script.begin(), script.end(), '\n'));
    enum Change { NONE, REWRITTEN, CUT, GROWN };
    for (const Change change : {NONE, REWRITTEN, CUT, GROWN}) {
        SCOPED_TRACE(change);
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_TRUE(f != nullptr && fwrite(script.data(), 1, script.size(), f) == script.size());
        fclose(f);
        f = fopen(path.c_str(), "rb");
        ASSERT_TRUE(f != nullptr);
        std::vector<long> lines;
        // The first finding comes in the second reading: the file changes then.
        const int stopped = CheckScript(f, CheckOptions{}, [&](const Finding& x) {
            lines.push_back(x.Line);
            if (lines.size() > 1 || change == NONE) {
                return;
            }
            FILE* w = fopen(path.c_str(), "r+b");
            ASSERT_TRUE(w != nullptr);
            if (change == REWRITTEN) {
                fseek(w, static_cast<long>(script.size() / 2), SEEK_SET);
                fputs("#goto elsewhere\r\n", w);
            } else if (change == GROWN) {
                fseek(w, 0, SEEK_END);
                fputs("AT\r\n", w);
            }
            fclose(w);
            if (change == CUT) {
                ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(script.size() / 2)), 0);
            }
        });
        fclose(f);
        const std::vector<long> both{1, lastLine};
        const std::vector<long> first{1};
        EXPECT_EQ(stopped, change == NONE ? 0 : SCRIPT_CHANGED);
        EXPECT_EQ(lines, change == NONE ? both : first);
    }
    ScriptFile = path.c_str();
    EXPECT_EQ(CaptureStdout([] { ScriptNotChecked(SCRIPT_CHANGED); }),
              "Error reading source file: " + path + ": it changed while it was checked\n");
    ScriptFile = nullptr;
    unlink(path.c_str());
}
