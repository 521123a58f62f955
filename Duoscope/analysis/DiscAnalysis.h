// Analysis of a Blu-ray disc backup (folder, BDMV/, .iso, a playlist or a base
// clip inside a disc folder): the title to convert, its sound and chapters, as
// one SourceFileInfo. Reads the disc through libbluray; blocks, so call it off
// the UI thread.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "ConversionTypes.h"

namespace duoscope {

struct DiscChoice {
    std::optional<unsigned> titleNumber;
    std::optional<unsigned> playlist;
    std::string audioLanguage;
};

// True when the path is a disc backup or a playlist or clip inside one.
bool isDiscSource(const std::filesystem::path& path);
// Why an output folder cannot take a disc's outputs: it lies inside the disc
// folder, and nothing is ever written into a disc backup. Nothing when it can.
std::optional<std::string> discOutputProblem(const std::filesystem::path& source,
                                             const std::filesystem::path& outputFolder);

// Nothing when the path is no disc. Throws std::runtime_error saying why when
// the disc cannot be converted: unreadable, encrypted, no 3D title, a missing
// or cut clip, an unknown title or language.
std::optional<SourceFileInfo> analyseDisc(const std::filesystem::path& path, const DiscChoice& choice,
                                          const std::function<void(const std::string&)>& log = {});

// One line per title: number, playlist, duration, clips, chapters, 3D, audio.
std::string listDiscTitles(const std::filesystem::path& path);

} // namespace duoscope
