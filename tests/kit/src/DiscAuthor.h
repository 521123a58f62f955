// Authors Blu-ray 3D disc backups from a kit set: BDMV folders whose 3D title
// is a playlist of three clips, with the base view (and sound) and the MVC
// dependent view in separate clips, a shorter 2D title, a variant whose base
// view is the right eye, and the ground truth of every title (truth.json).
// Runs x264 as a child process when the set's encodes have too few GOPs.
// Called from stereokit's main thread.
#pragma once

#include "StereoKit.h"

namespace kit {

// Writes outputRoot/<set>/discs/ (the set itself must be made) unless its
// stamp already matches `stamp`. Returns false when the cached discs were kept.
bool makeDiscs(const SetSpec& spec, const std::filesystem::path& outputRoot, const std::string& stamp,
               bool force, const Log& log);

} // namespace kit
