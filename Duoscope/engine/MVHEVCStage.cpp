#include <stdexcept>

#include "PipelineEngine.h"

namespace duoscope {

void PipelineEngine::convertToMVHEVC(const std::filesystem::path&, const std::filesystem::path&, QualityPreset,
                                     ProgressCallback) {
    throw std::logic_error("the MV-HEVC stage is not built yet");
}
} // namespace duoscope
