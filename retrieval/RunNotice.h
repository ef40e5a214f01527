#pragma once

// What the desktop is told when a run ends behind another window.

#include <cstddef>
#include <cstdint>

#include "platform/Notify.h"

struct RunTally {
    std::size_t done = 0;
    std::size_t failed = 0;
    std::size_t total = 0;
};

// jobIndex: the job the run had reached when it ended (past the last one when all were
// worked through); failedJobs: the jobs that ended with an error line.
RunTally TallyRun(std::int32_t jobIndex, std::size_t jobCount, std::size_t failedJobs);

platform::Notification RunEndNotification(const RunTally& tally);
