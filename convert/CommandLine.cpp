#include "convert/CommandLine.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "common/Text.h"
#include "platform/Process.h"

namespace convert {

std::string ComposeCommandLine(std::string_view inputFile, std::string_view params,
                               std::string_view outputFile, bool overwrite) {
    std::string line = std::string(kConverterName) + " ";
    if (overwrite) {
        line += "-y ";
    }
    line += "-i \"";
    line += inputFile;
    line += "\" ";
    line += params;
    line += '"';
    line += outputFile;
    line += '"';
    return line;
}

namespace {

constexpr std::string_view kKbitUnit = "kbit/s";

bool IsDecimal(std::string_view s) {
    bool digit = false;
    for (char c : s) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c != '.') {
            return false;
        }
    }
    return digit;
}

}  // namespace

std::vector<std::string> AdaptParams(std::string_view params) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start < params.size()) {
        std::size_t end = params.find(' ', start);
        if (end == std::string_view::npos) {
            end = params.size();
        }
        std::string_view word = params.substr(start, end - start);
        if (!word.empty()) {
            if (word.size() > kKbitUnit.size() && word.ends_with(kKbitUnit) &&
                IsDecimal(word.substr(0, word.size() - kKbitUnit.size()))) {
                words.push_back(std::string(word.substr(0, word.size() - kKbitUnit.size())) + "k");
            } else {
                words.emplace_back(word);
            }
        }
        start = end + 1;
    }
    return words;
}

std::string PathArgument(std::string_view path) {
    if (path.empty() || path[0] == '/') {
        return std::string(path);
    }
    return "./" + std::string(path);
}

std::vector<std::string> BuildArguments(std::string_view programName, std::string_view inputFile,
                                        std::string_view params, std::string_view outputFile,
                                        const ArgumentOptions& options) {
    std::vector<std::string> args{std::string(programName)};
    if (options.overwrite) {
        args.emplace_back("-y");
    }
    args.emplace_back("-i");
    args.push_back(PathArgument(inputFile));
    std::vector<std::string> words = AdaptParams(params);
    bool audioCodecGiven = false;
    for (const std::string& w : words) {
        audioCodecGiven = audioCodecGiven || w == "-acodec" || w == "-c:a" || w == "-codec:a";
    }
    args.insert(args.end(), words.begin(), words.end());
    if (options.replacementAudioCodec && !audioCodecGiven) {
        args.emplace_back("-acodec");
        args.emplace_back("aac");
    }
    args.push_back(PathArgument(outputFile));
    return args;
}

bool IsThreeGpOutput(std::string_view outputFile) {
    return outputFile.size() >= 4 &&
           text::EqualsCaseless(outputFile.substr(outputFile.size() - 4), ".3gp");
}

bool EncoderListHasAmrNb(std::string_view encoderList) {
    // Lines look like " A..... name   description (codec amr_nb)"; the native name is amr_nb.
    return text::ContainsCaseless(encoderList, "amr_nb") ||
           text::ContainsCaseless(encoderList, "amrnb");
}

namespace {

// The converter lists its encoders at once; this only bounds one that hangs.
constexpr int kProbeTimeoutMs = 10000;

struct AmrNbProbes {
    std::mutex lock;
    std::condition_variable answered;
    std::map<std::string, std::optional<bool>> answers;  // empty while the probe runs
};

// Never destroyed: a probe still under way when the program ends may answer late.
AmrNbProbes& Probes() {
    static auto* probes = new AmrNbProbes;
    return *probes;
}

void Answer(const std::string& programPath, bool has) {
    AmrNbProbes& probes = Probes();
    {
        std::lock_guard guard(probes.lock);
        probes.answers[programPath] = has;
    }
    probes.answered.notify_all();
}

}  // namespace

void ProbeAmrNb(const std::string& programPath) {
    {
        AmrNbProbes& probes = Probes();
        std::lock_guard guard(probes.lock);
        if (!probes.answers.try_emplace(programPath).second) {
            return;
        }
    }
    try {
        // Listing the encoders can take a while, and the program must not wait for it.
        std::thread([programPath] {
            std::string output;
            const bool has =
                platform::RunAndCapture(programPath, {programPath, "-hide_banner", "-encoders"},
                                        kProbeTimeoutMs, output) &&
                EncoderListHasAmrNb(output);
            Answer(programPath, has);
        }).detach();
    } catch (const std::system_error&) {
        Answer(programPath, false);
    }
}

bool ConverterHasAmrNb(const std::string& programPath, std::chrono::milliseconds maxWait) {
    ProbeAmrNb(programPath);
    AmrNbProbes& probes = Probes();
    std::unique_lock guard(probes.lock);
    const std::optional<bool>& answer = probes.answers[programPath];
    probes.answered.wait_for(guard, maxWait, [&answer] { return answer.has_value(); });
    return answer.value_or(false);
}

}  // namespace convert
