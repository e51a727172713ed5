#include "card/config.h"

namespace vsim::model {

FlashBlock flashBlockAt(const FlashConfig& f, uint64_t offset) {
    const uint64_t parameterArea = f.parameterBlockSize * f.parameterBlocks;
    const uint64_t areaStart = f.parametersAtTop ? f.size - parameterArea : 0;
    if (parameterArea != 0 && offset >= areaStart && offset < areaStart + parameterArea) {
        const uint64_t start =
            areaStart + (offset - areaStart) / f.parameterBlockSize * f.parameterBlockSize;
        return {start, f.parameterBlockSize, kParameterBlock};
    }
    const uint64_t mainStart = f.parametersAtTop ? 0 : parameterArea;
    return {mainStart + (offset - mainStart) / f.blockSize * f.blockSize, f.blockSize, 0};
}

}  // namespace vsim::model
