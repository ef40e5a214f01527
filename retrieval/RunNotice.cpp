#include "retrieval/RunNotice.h"

#include <algorithm>
#include <initializer_list>
#include <string>

#include "common/StringTable.h"

namespace {

// The text of id with %1, %2, ... replaced by values in order.
std::string Fill(StrId id, std::initializer_list<std::size_t> values) {
    std::string text = LoadStr(id);
    char mark = '1';
    for (std::size_t value : values) {
        const std::string placeholder = {'%', mark++};
        if (auto at = text.find(placeholder); at != std::string::npos) {
            text.replace(at, placeholder.size(), std::to_string(value));
        }
    }
    return text;
}

}  // namespace

RunTally TallyRun(std::int32_t jobIndex, std::size_t jobCount, std::size_t failedJobs) {
    RunTally tally;
    tally.total = jobCount;
    tally.done = jobIndex <= 0 ? 0 : std::min(static_cast<std::size_t>(jobIndex), jobCount);
    tally.failed = failedJobs;
    return tally;
}

platform::Notification RunEndNotification(const RunTally& tally) {
    return {LoadStr(StrId::ProductName), "tamberlo", LoadStr(StrId::RunEndSummary),
            Fill(StrId::RunEndBody, {tally.done, tally.total, tally.failed})};
}
