// What the command-line conversion tests share: a private settings folder (so
// no test reads or writes the user's), the stored output target, a run of the
// real program, and the files a folder holds afterwards.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace duoscope::test {

inline const std::filesystem::path kitSmallSet = std::filesystem::path(DUOSCOPE_KIT_DIR) / "small";
inline const std::string duoscopeProgram = std::string(DUOSCOPE_BINARY_DIR) + "/bin/Duoscope";

class CommandLineRun : public ::testing::Test {
  protected:
    void SetUp() override { setenv("XDG_CONFIG_HOME", config.path().c_str(), 1); }
    void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

    void storeTarget(const std::string& target) {
        std::filesystem::create_directories(config / "Duoscope");
        writeFile(config / "Duoscope" / "Duoscope.conf", "[General]\noutputTarget=" + target + "\n");
    }
    static CommandResult convert(const std::string& input, const std::string& output,
                                 std::vector<std::string> extra = {},
                                 const std::filesystem::path& folder = {}) {
        std::vector<std::string> arguments{"--input", input, "--auto-convert", "--output", output};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runCommand(duoscopeProgram, arguments, CommandOptions::inFolder(folder));
    }
    // Every file and folder below, relative and sorted.
    static std::vector<std::string> entries(const std::filesystem::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
            names.push_back(entry.path().lexically_relative(folder).string());
        std::sort(names.begin(), names.end());
        return names;
    }

    ScratchFolder config{"command line config"};
};

} // namespace duoscope::test
