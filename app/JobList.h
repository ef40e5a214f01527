#pragma once

// The rules by which clipboard text becomes jobs.

#include <QStringView>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// No real address is longer; a longer line is not taken (a text of megabytes copied by mistake).
constexpr std::size_t kMaxAddressLength = 8 * 1024;

// Where intake text comes from. Paste and a drop take any http or https address; automatic copy
// takes of other sites only addresses of video files, so that copying links while browsing does
// not fill the list.
enum class IntakeSource { PasteOrDrop, AutoCopy };

// True when a line of intake text can become a job: an address of at most kMaxAddressLength bytes
// without control bytes (a CR, a tab or a NUL within it) that is a video page of the served
// sites, or an address of another site as the source takes them.
bool IsIntakeLine(std::string_view line, IntakeSource source = IntakeSource::PasteOrDrop);

// Clipboard or dropped text as the bytes the intake reads. Blanks and control characters at
// both ends go (as the intake trims them), and a line longer than kMaxAddressLength characters
// keeps only its first kMaxAddressLength + 1: still too long to be taken, still recognised as
// the cache address when it begins with it. Megabytes copied by mistake cost a scan, not a
// conversion.
std::string IntakeBytes(QStringView text);

// The lines of text that are video page addresses and not yet jobs, in order and as written.
// Lines are cut at line feeds; a line loses one carriage return before its line feed. Duplicates,
// among the jobs or earlier lines, are found ignoring the case of the letters a to z; those of
// other sites' addresses by the exact address without its #fragment.
std::vector<std::string> SplitClipboardUrls(std::string_view text,
                                            const std::vector<std::string>& jobs,
                                            IntakeSource source = IntakeSource::PasteOrDrop);

// The intake of text from the clipboard or a drop: the text is trimmed; text that begins with the
// video site's cache address is ignored entirely (nullopt); text without ".com" gives nothing;
// otherwise its new addresses as SplitClipboardUrls gives them.
std::optional<std::vector<std::string>> IntakeAddresses(
    std::string_view text, const std::vector<std::string>& jobs,
    IntakeSource source = IntakeSource::PasteOrDrop);

// The files that are not yet jobs (ignoring letter case), in the order given.
std::vector<std::string> NewFileJobs(const std::vector<std::string>& files,
                                     const std::vector<std::string>& jobs);

// Index to select after removing the selected job of a list of count jobs; -1 for none.
int SelectionAfterRemove(int selected, int count);

// Width of the list's only column for a list of count jobs.
int JobColumnWidth(int count);
