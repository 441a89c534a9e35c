// torvex-rack: when runs start, the time a unit and the whole rack may take,
// and the retries of a unit that never reached its device. A run out of time is asked to end
// as Ctrl-C would end it, so that torvex releases its port, and killed if it
// has not ended 5 s later.
#include <algorithm>
#include <cmath>
#include <csignal>

#include "os.h"
#include "record.h"
#include "runner.h"

namespace {

// Ends a run out of time after the seconds it was given.
void TimeOut(Rack& rack, size_t i, const std::string& which, int seconds)
{
    Run& run = rack.Runs[i];
    const RackClock::time_point now = RackClock::now();
    run.TimedOut = true;
    run.TimedOutAfter = seconds;
    run.Killing = true;
    run.KillAt = now + std::chrono::seconds(5);
    RunNote(run, which + ": ended after " + std::to_string(run.TimedOutAfter) + " s");
    EndChild(i, false);
}

// The rack's time is up: what runs is ended, what waits is not started.
void RackTimeUp(Rack& rack)
{
    rack.TimeUp = true;
    for (size_t i = 0; i < rack.Runs.size(); i++) {
        Run& run = rack.Runs[i];
        if (run.State == RunState::Done) {
            continue;
        }
        rack.LimitEndedRuns = true;
        if (run.State != RunState::Queued) {
            if (!run.TimedOut) {
                // It had the rack's time, less what passed before it started.
                const long ran = std::lround(Seconds(run.AttemptStart + run.Stopped, RackClock::now()));
                TimeOut(rack, i, "rack time limit", static_cast<int>(std::min<long>(ran, rack.Opts.Timeout)));
                run.RackTimedOut = true;
            }
            continue;
        }
        run.End = RackClock::now();
        run.RackLimit = !run.Retrying;
        if (run.Transcript == nullptr) {
            std::string why;
            bool noDescriptors = false;
            run.Transcript = OpenTranscript(run.TranscriptPath, &why, &noDescriptors);
        }
        TranscriptNote(run.Transcript, run.Retrying ? "not started again: rack time limit" : "not started: rack time limit");
        Conclude(run);
        RecordEnded(rack, run);
        TranscriptNote(run.Transcript, "result: " + run.Result);
        CloseTranscript(run);
        Plain(rack, run, run.Result);
    }
}

}  // namespace

void StartRuns(Rack& rack, RackClock::time_point now)
{
    const size_t jobs = rack.Opts.Jobs == 0 ? rack.Runs.size() : rack.Opts.Jobs;
    for (size_t i = 0; i < rack.Runs.size() && rack.Running < jobs && rack.Signal == 0 && !rack.TimeUp; i++) {
        const Run& run = rack.Runs[i];
        // One that waits for descriptors holds back the rest.
        if (run.State == RunState::Queued && (!run.Retrying || now >= run.RetryAt) && !StartRun(rack, i)) {
            return;
        }
    }
}

int CheckTimes(Rack& rack, RackClock::time_point now)
{
    if (rack.Opts.Timeout > 0 && !rack.TimeUp && now >= rack.Deadline) {
        RackTimeUp(rack);
    }
    std::vector<RackClock::time_point> due;
    if (rack.Opts.Timeout > 0 && !rack.TimeUp) {
        due.push_back(rack.Deadline);
    }
    const size_t jobs = rack.Opts.Jobs == 0 ? rack.Runs.size() : rack.Opts.Jobs;
    for (size_t i = 0; i < rack.Runs.size(); i++) {
        Run& run = rack.Runs[i];
        const bool going = run.State != RunState::Queued && run.State != RunState::Done;
        if (going && run.Killing && now >= run.KillAt) {
            EndChild(i, true);
            run.Killing = false;
            RunNote(run, "still running 5 s later: killed");
        } else if (going && run.Killing) {
            due.push_back(run.KillAt);
        } else if (going && !run.TimedOut && rack.Opts.UnitTimeout > 0) {
            const RackClock::time_point limit =
                run.AttemptStart + run.Stopped + std::chrono::seconds(rack.Opts.UnitTimeout);
            if (now >= limit) {
                TimeOut(rack, i, "unit time limit", rack.Opts.UnitTimeout);
                due.push_back(run.KillAt);
            } else {
                due.push_back(limit);
            }
        } else if (run.State == RunState::Queued && run.Retrying && rack.Running < jobs) {
            // One due but not started waits for descriptors: looked at again soon, not at once.
            due.push_back(std::max(run.RetryAt, now + std::chrono::milliseconds(100)));
        }
    }
    if (due.empty()) {
        return -1;
    }
    const auto next = *std::min_element(due.begin(), due.end());
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(ms + 1, 60000)));
}

void RackStopped(Rack& rack, RackClock::duration d)
{
    if (rack.Opts.Timeout > 0 && !rack.TimeUp) {
        rack.Deadline += d;
    }
    for (Run& run : rack.Runs) {
        if (run.State == RunState::Queued || run.State == RunState::Done) {
            continue;
        }
        run.Stopped += d;
        run.KillAt += d;
        // A line's wait begins as soon as it is sent, perhaps before its event came.
        if (run.State == RunState::Waking || run.State == RunState::Waiting || run.State == RunState::Line) {
            run.StoppedInWait += d;
        }
    }
}

bool RetryLater(Rack& rack, size_t i)
{
    Run& run = rack.Runs[i];
    // Whatever ended it (a port not there, one lost in the settle, a wake-up
    // never answered and then the unit's time limit), except an end the rack
    // caused: Ctrl-C, SIGTERM, the rack's time limit. Ctrl-C at a terminal may
    // reach the run before the rack.
    const bool ctrlC = run.Ended.signal == SIGINT || (run.Ended.signal == 0 && run.Ended.status == 130);
    const bool ok = run.Ended.signal == 0 && run.Ended.status == 0 && !run.TimedOut;
    if (run.Attempt > rack.Opts.Retries || rack.Signal != 0 || rack.TimeUp || !run.Started || ok || ctrlC ||
        run.SentLine) {
        return false;
    }
    Run attempt = run;
    attempt.Attempt = 1;  // this attempt's own result, not the unit's
    Conclude(attempt);
    const std::string why = "attempt " + std::to_string(run.Attempt) + ": " + attempt.Result + "; trying again in " +
                            std::to_string(rack.Opts.RetryWait) + " s";
    TranscriptNote(run.Transcript, why);
    Plain(rack, run, why);
    run.State = RunState::Queued;
    run.Retrying = true;
    run.RetryAt = RackClock::now() + std::chrono::seconds(rack.Opts.RetryWait);
    return true;
}

void NextAttempt(const Rack& rack, Run& run)
{
    run.Attempt++;
    TranscriptNote(run.Transcript, "attempt " + std::to_string(run.Attempt) + " of " +
                                       std::to_string(rack.Opts.Retries + 1) + " on " + run.Port);
    const Run fresh;
    run.Line = fresh.Line;
    run.Command.clear();
    run.LastAnswer.clear();
    run.LastLine.clear();
    run.Progress.clear();
    run.ProgressTooLong = false;
    run.NoKeyboard = false;
    run.WakeUnanswered = false;
    run.SentLine = false;
    run.PortLost = false;
    run.WroteIfPortWorks = false;
    run.TimedOut = false;
    run.TimedOutAfter = 0;
    run.Stopped = fresh.Stopped;
    run.StoppedInWait = fresh.StoppedInWait;
    run.Ended = fresh.Ended;
    run.Retrying = false;
}
