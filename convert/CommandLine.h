#pragma once

// The converter's command line: the text shown and compared, and the argument vector actually
// handed to the converter. The vector is built from the parts, never by splitting the text, so a
// file name with a double quote or a leading dash stays one argument naming that file.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace convert {

// The bare name the converter is started by.
inline constexpr const char* kConverterName = "ffmpeg";

// "ffmpeg " ["-y "] "-i \"input\" " params "\"output\"", paths inserted as they are.
std::string ComposeCommandLine(std::string_view inputFile, std::string_view params,
                               std::string_view outputFile, bool overwrite);

// The stored parameters split at blanks, each value "NNkbit/s" written "NNk" as the installed
// converter expects (it rejects the unit "kbit/s").
std::vector<std::string> AdaptParams(std::string_view params);

// A path as the converter must see it: a relative path gets "./" in front, so that it can never
// be read as an option or a protocol name.
std::string PathArgument(std::string_view path);

struct ArgumentOptions {
    bool overwrite = false;
    // The output needs an audio codec named because the converter's default for it is missing.
    bool replacementAudioCodec = false;
};

// argv[0] is programName; then "-y", "-i" and the input, the adapted parameters, and the output.
std::vector<std::string> BuildArguments(std::string_view programName, std::string_view inputFile,
                                        std::string_view params, std::string_view outputFile,
                                        const ArgumentOptions& options);

// True when outputFile ends in ".3gp" (any case): the container whose default audio encoder
// (AMR-NB) is often missing.
bool IsThreeGpOutput(std::string_view outputFile);

// True when an encoder list as the converter prints it offers an AMR-NB encoder.
bool EncoderListHasAmrNb(std::string_view encoderList);

// How long a conversion's start waits for the answer of a probe that is still under way. The
// probe starts with the runner, long before a first conversion as a rule.
inline constexpr std::chrono::milliseconds kAmrNbProbeWait{1000};

// Starts asking the converter at programPath, on a worker thread, whether it can encode AMR-NB;
// nothing happens when it has been asked already in this program run.
void ProbeAmrNb(const std::string& programPath);

// The answer of that probe, started here if need be, waiting for it at most maxWait. A converter
// that cannot be asked, or has not answered in time, counts as lacking it.
bool ConverterHasAmrNb(const std::string& programPath, std::chrono::milliseconds maxWait);

}  // namespace convert
