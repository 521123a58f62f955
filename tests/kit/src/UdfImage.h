// Writes a folder tree as a UDF 2.50 disc image, the file system of Blu-ray
// discs, without mounting anything: volume recognition sequence, anchors at
// block 256 and at the last block, main and reserve volume descriptor
// sequences, a read-only physical partition holding a metadata partition
// (file set, directories and file entries, mirrored) and each file's bytes in
// one extent (split only past 1 GiB). Any thread; throws std::runtime_error
// on I/O failures.
#pragma once

#include <filesystem>
#include <string>

namespace kit {

void writeUdfImage(const std::filesystem::path& folder, const std::filesystem::path& image,
                   const std::string& volumeName);

} // namespace kit
