#include <stdexcept>

#include "PipelineEngine.h"

namespace duoscope {

void PipelineEngine::decodeSBSPipe(const StreamingDecodeRequest&) {
    throw std::logic_error("decodeSBSPipe is not built yet");
}

void PipelineEngine::decodeSBSParallel(const StreamingDecodeRequest&, bool, bool, long long,
                                       const std::optional<std::filesystem::path>&) {
    throw std::logic_error("decodeSBSParallel is not built yet");
}

std::optional<std::string> PipelineEngine::parallelPipelineScriptPath() { return std::nullopt; }

bool PipelineEngine::hasDualSplitTools() { return false; }

void PipelineEngine::removeIntermediateFile(const std::filesystem::path&, const std::string&) {}
} // namespace duoscope
