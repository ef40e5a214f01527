#pragma once

// Reads a captured video page and finds the address of its video file, the name to store it under
// and whether a high-definition stream is offered. One call is one poll pass of the page stage:
// the stage captures the page again and calls once more while the outcome is PollAgain.
// The parser itself shows nothing and stops nothing; its result tells the caller what to do.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

enum class PassOutcome {
    Resolved,       // end the attempt: eDownloadUrl is set
    PollAgain,      // capture and parse again on the next pass, until the attempt's time runs out
    GiveUpAttempt,  // end the attempt at once (the video is not available now)
    StopRun,        // show PassResult::message, then stop the whole run as Stop does
};

// What the parser learns about the current job. It persists from pass to pass within one job;
// the page stage clears the texts and the flag when the job starts.
struct PageState {
    std::string eFileName;     // name to store the file under (no folder)
    std::string eDownloadUrl;  // address of the video file; empty while the page is unresolved
    bool HDAvailable = false;  // the page offers a high-definition stream; never cleared in a job
    std::int32_t Mode = 0;     // run mode; a Google Video page turns conversion off (0)
    // The job's number in the run (1 for the first; 0 when not known). A title that leaves no
    // name is replaced by the video's id, or by "video" and this number, so that two such jobs
    // of one run do not meet in one file.
    std::int32_t JobNumber = 0;
};

struct PassResult {
    PassOutcome outcome = PassOutcome::PollAgain;
    PageState state;      // the state after the pass
    std::string message;  // with StopRun: the text for an information box shown before Stop
};

// Seed for the random number in the Google Video fallback name. Asked for only when that name is
// made; the page stage passes ClockSeed, tests pass a fixed seed.
using SeedSource = std::function<std::uint32_t()>;
std::uint32_t ClockSeed();

// One pass over the captured page of the job at jobUrl (already normalised). The site is chosen
// by the job address, never by the page text. Any bytes are accepted, NUL included.
PassResult ParsePage(std::string_view page, std::string_view jobUrl, PageState state,
                     const SeedSource& seed = ClockSeed);

// Position (0-based) of the first occurrence of needle in hay at or after from, or npos; caseless
// folds A-Z onto a-z only. This is the search the parser runs over pages.
std::size_t FindMarker(std::string_view hay, std::string_view needle, std::size_t from,
                       bool caseless);
