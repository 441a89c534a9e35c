// The checker against the run, over scripts generated from the grammar: a
// bounded number here, as many as time allows with TORVEX_DIFF_SECONDS set.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "diff/differential.h"

TEST(Differential, CheckerClaimsHoldInRealRuns)
{
    const char* seconds = getenv("TORVEX_DIFF_SECONDS");
    const auto limit = std::chrono::seconds(seconds != nullptr ? atoi(seconds) : 3);
    const auto start = std::chrono::steady_clock::now();
    const char* tmp = getenv("TMPDIR");
    const std::string path = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/torvex-diff-" +
                             std::to_string(getpid()) + ".txt";
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
