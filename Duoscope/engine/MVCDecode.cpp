#include <stdexcept>

#include "PipelineEngine.h"

namespace duoscope {

void PipelineEngine::decodeMVC(const std::filesystem::path&, const std::filesystem::path&, long long,
                               ProgressCallback) {
    throw std::logic_error("decodeMVC is not built yet");
}

void PipelineEngine::encodeSBS(const std::filesystem::path&, const std::filesystem::path&,
                               const std::filesystem::path&, const std::filesystem::path&, QualityPreset,
                               OutputCodec, int, int, int, int, ProgressCallback, double) {
    throw std::logic_error("encodeSBS is not built yet");
}
} // namespace duoscope
