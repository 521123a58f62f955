// Makes one stereo test media set (sources, x264 encodes, MVC compositions,
// containers, side-by-side and frame-alternate movies, ground truth) with
// ffmpeg and x264 as child processes. Called from stereokit's main thread.
#pragma once

#include "MvcComposer.h"

#include <filesystem>
#include <functional>
#include <string>

namespace kit {

struct EncodeProfile {
    std::string name;
    std::vector<std::string> x264Arguments;
};

struct SetSpec {
    std::string name;
    int width = 320, height = 176, frames = 48, disparity = 8, keyint = 12;
    FrameRate rate;
    std::vector<EncodeProfile> profiles;
};

// "small" or "hd"; throws std::invalid_argument for anything else.
SetSpec standardSet(const std::string& name);

using Log = std::function<void(const std::string&)>;

// Writes outputRoot/<name>/ unless its stamp already matches `stamp`.
// Returns false when the cached set was kept.
bool makeSet(const SetSpec& spec, const std::filesystem::path& outputRoot, const std::string& stamp,
             bool force, const Log& log);

// The cache key: kit version and a hash of the running executable.
std::string executableStamp(const std::string& setName);

// Takes an exclusive lock on a file for the object's lifetime (kit runs of
// the same output folder in parallel wait for one another).
class FileLock {
  public:
    explicit FileLock(const std::filesystem::path& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    int fd_;
};

// The x264 encodes of both eyes of `setDir`'s sources: folder/left.264 and
// folder/right.264 (the right eye with SPS id 1), two at a time.
void encodeEyes(const SetSpec& spec, const EncodeProfile& profile, const std::filesystem::path& setDir,
                const std::filesystem::path& folder);

// The default profile: High, CABAC, two B-frames, the one the hd set has.
EncodeProfile defaultProfile();

// The composition of one profile folder's two encodes, files written beside them.
void composeProfileFolder(const std::filesystem::path& folder, FrameRate rate,
                          const std::filesystem::path& audioAc3);

} // namespace kit
