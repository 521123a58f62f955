#include <stdexcept>

#include "PipelineEngine.h"

namespace duoscope {

ConversionResult PipelineEngine::runSideBySidePipeline(const std::filesystem::path&, const std::filesystem::path&,
                                                       const std::filesystem::path&, const std::string&,
                                                       QualityPreset, OutputCodec, OutputTarget, bool,
                                                       ProgressCallback) {
    throw std::logic_error("the side-by-side pipeline is not built yet");
}

ConversionResult PipelineEngine::runFrameAlternatePipeline(const std::filesystem::path&,
                                                           const std::filesystem::path&,
                                                           const std::filesystem::path&, const std::string&,
                                                           QualityPreset, OutputCodec, OutputTarget, bool, double,
                                                           std::optional<int>, ProgressCallback) {
    throw std::logic_error("the frame-alternate pipeline is not built yet");
}
} // namespace duoscope
