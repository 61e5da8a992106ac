#include "platform/sample_buffer.h"

#include <algorithm>
#include <cstring>

namespace halvo::platform {

BlockBuffer::BlockBuffer(std::vector<Run> runs, OSStatus pointerStatus)
    : runs_(std::move(runs)), pointerStatus_(pointerStatus) {
    // Empty runs carry nothing and would make "the run at this offset" ambiguous.
    std::erase_if(runs_, [](const Run& run) { return run.empty(); });
    for (const Run& run : runs_) {
        total_ += run.size();
    }
}

std::shared_ptr<const BlockBuffer> BlockBuffer::contiguous(Run bytes) {
    std::vector<Run> runs;
    runs.push_back(std::move(bytes));
    return std::make_shared<const BlockBuffer>(std::move(runs));
}

OSStatus BlockBuffer::dataPointer(std::size_t offset, std::size_t* lengthAtOffset,
                                  std::size_t* totalLength, const std::byte** data) const {
    if (pointerStatus_ != kNoErr) {
        return pointerStatus_;
    }
    if (runs_.empty()) {
        return kBlockBufferEmptyErr;
    }
    std::size_t skipped = 0;
    for (const Run& run : runs_) {
        if (offset < skipped + run.size()) {
            const std::size_t within = offset - skipped;
            if (lengthAtOffset != nullptr) {
                *lengthAtOffset = run.size() - within;
            }
            if (totalLength != nullptr) {
                *totalLength = total_;
            }
            if (data != nullptr) {
                *data = run.data() + within;
            }
            return kNoErr;
        }
        skipped += run.size();
    }
    return kBlockBufferBadOffsetErr;
}

OSStatus BlockBuffer::copyDataBytes(std::size_t offset, std::span<std::byte> destination) const {
    if (offset > total_ || destination.size() > total_ - offset) {
        return kBlockBufferBadOffsetErr;
    }
    std::size_t skipped = 0;
    std::size_t copied = 0;
    for (const Run& run : runs_) {
        if (copied == destination.size()) {
            break;
        }
        const std::size_t runEnd = skipped + run.size();
        const std::size_t from = offset + copied;
        if (from < runEnd) {
            const std::size_t within = from - skipped;
            const std::size_t count = std::min(run.size() - within, destination.size() - copied);
            std::memcpy(destination.data() + copied, run.data() + within, count);
            copied += count;
        }
        skipped = runEnd;
    }
    return kNoErr;
}

}  // namespace halvo::platform
