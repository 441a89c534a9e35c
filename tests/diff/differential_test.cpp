// The checker against the run, over scripts generated from the grammar: a
// bounded number here, as many as time allows with TORVEX_DIFF_SECONDS set;
// and the checker's two readings of one script.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "diff/differential.h"
#include "run/settings.h"
#include "support/capture.h"
#include "tools/check/check.h"
#include "tools/check/checker.h"

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

// The look-alikes are one list in three places: the checker's table, the
// manual's modem-bytes entry and the generator, range by range in one order.
TEST(Differential, LookAlikesAreListedAlikeEverywhere)
{
    std::ifstream in(TORVEX_SOURCE_DIR "/tools/check/torvex-check.1");
    std::string manual((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t from = manual.find("By code point:\n");
    ASSERT_NE(from, std::string::npos);
    const size_t to = manual.find(".\n", from);
    std::replace(manual.begin() + static_cast<long>(from), manual.begin() + static_cast<long>(to), '\n', ' ');
    std::vector<std::pair<uint32_t, uint32_t>> listed;
    for (size_t at = manual.find("U+", from); at < to; at = manual.find("U+", at)) {
        char* end = nullptr;
        const uint32_t first = static_cast<uint32_t>(strtoul(manual.c_str() + at + 2, &end, 16));
        const bool range = strncmp(end, " to U+", 6) == 0;
        const uint32_t last = range ? static_cast<uint32_t>(strtoul(end + 6, &end, 16)) : first;
        listed.emplace_back(first, last);
        at = static_cast<size_t>(end - manual.c_str());
    }
    const std::vector<std::pair<uint32_t, uint32_t>> drawn = LookAlikeRanges();
    EXPECT_EQ(listed, drawn);
    // The checker names each range's ends, and neither character next to a range
    // unless the next range takes it.
    for (size_t i = 0; i < drawn.size(); i++) {
        for (const uint32_t c : {drawn[i].first, drawn[i].second}) {
            const std::string bytes = Utf8(c);
            EXPECT_NE(ReadOddChar(bytes.c_str(), bytes.size()).What, nullptr) << std::hex << c;
        }
        const bool before = i > 0 && drawn[i - 1].second + 1 == drawn[i].first;
        const bool after = i + 1 < drawn.size() && drawn[i].second + 1 == drawn[i + 1].first;
        for (const uint32_t c : {before ? 0u : drawn[i].first - 1, after ? 0u : drawn[i].second + 1}) {
            const std::string bytes = Utf8(c);
            if (c > 0xA0) {
                EXPECT_EQ(ReadOddChar(bytes.c_str(), bytes.size()).What, nullptr) << std::hex << c;
            }
        }
    }
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
