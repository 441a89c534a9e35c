// Running torvex-check as a process, for the checker's end-to-end tests.
#pragma once

#include <string>
#include <vector>

#include "support/run_program.h"

// Each build puts torvex-check in the tools folder beside the program.
inline std::vector<std::string> CheckCommand(const std::vector<std::string>& args)
{
    std::vector<std::string> command;
    if (UnderWine()) {
        command.push_back("wine");
    }
    command.push_back(CompanionExe("tools/torvex-check"));
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

inline RunResult Check(const std::vector<std::string>& args, RunOptions options = {})
{
    options.command = CheckCommand(args);
    return RunTorvex({}, options);
}
