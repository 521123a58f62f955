// Source analysis: runs ffprobe on one file and decides its stereo layout,
// size, frame rate and duration, narrating every step of the (heuristic)
// decision. One FFProbe per analysis; probe() blocks, so call it off the UI thread.
#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "ConversionTypes.h"

namespace duoscope {

// An error with a domain and code, for failures that are not conversion errors.
class DomainError : public std::exception {
  public:
    DomainError(std::string domain, int code, std::string description)
        : domain_(std::move(domain)), code_(code), description_(std::move(description)) {}
    const std::string& domain() const { return domain_; }
    int code() const { return code_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    std::string domain_;
    int code_;
    std::string description_;
};

// Puts the user's layout choice (and --right-first) over an analysis: the
// choice decides, the analysis keeps what the choice does not say (MVC in
// two tracks). Returns the trace line; throws std::invalid_argument naming the
// frame size when the choice contradicts the frame.
std::string applyLayoutChoice(SourceFileInfo& info, LayoutChoice choice, bool rightFirst);

class FFProbe {
  public:
    std::function<void(const std::string& line)> onLog;

    // A record whenever ffprobe printed a JSON object; nothing when its output
    // was not one. Throws DomainError("Duoscope", 1) when ffprobe is missing and
    // std::system_error when it cannot be started.
    std::optional<SourceFileInfo> probe(const std::filesystem::path& url);

    // Reads the "stereo_mode" tag of the first decoded picture of the first
    // video stream (set from an H.264 frame-packing SEI), or nothing.
    using FirstFrameStereoTag = std::function<std::optional<std::string>()>;

    // The decision itself, from ffprobe's standard output; exposed for tests.
    std::optional<SourceFileInfo> analyse(const std::filesystem::path& url, const std::string& standardOutput,
                                          const FirstFrameStereoTag& firstFrameStereoTag = {});

  private:
    void log(const std::string& line);
};

} // namespace duoscope
