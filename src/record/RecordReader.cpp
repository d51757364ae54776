#include "record/RecordReader.h"

#include <stdexcept>

namespace al::file {

RecordReader::RecordReader(const std::filesystem::path& path) { open(path); }

void RecordReader::open(const std::filesystem::path& path) {
    close();
    platform::ReadOnlyMapping mapping;
    if (const auto code = mapping.openFile(path); code != 0) {
        throw std::runtime_error(platform::failureText("Open Auralith record image", code));
    }
    std::uint64_t size = 0;
    if (const auto code = mapping.querySize(size); code != 0) {
        throw std::runtime_error(
            platform::failureText("Determine Auralith record image size", code));
    }
    if (size == 0) {
        throw std::runtime_error("Auralith record image is empty");
    }
    if (const auto failure = mapping.mapWhole(size)) {
        const char* phrase = failure->step == platform::ReadOnlyMapping::MapStep::CreateMapping
                                 ? "Create Auralith read-only mapping"
                                 : "Map Auralith record image";
        throw std::runtime_error(platform::failureText(phrase, failure->code));
    }
    if (size <= kFileHeaderSize + kFooterSize - 1) {
        throw std::runtime_error("Auralith record is too small");
    }
    image_ = std::move(mapping);
    path_ = path;
    imageSize_ = size;
    try {
        index_ = indexRecordImage(image_.bytes());
    } catch (...) {
        close();
        throw;
    }
    chunkCount_ = index_.channelBlocks.empty() ? 0 : index_.channelBlocks[0].size();
}

void RecordReader::close() noexcept {
    image_.close();
    path_.clear();
    index_ = RecordIndex{};
    imageSize_ = 0;
    chunkCount_ = 0;
}

BlockView RecordReader::block(std::size_t channel, std::uint64_t chunkIndex, bool verify) const {
    const auto& lists = index_.channelBlocks;
    if (channel >= lists.size() || chunkIndex >= lists[channel].size()) {
        throw std::out_of_range("Auralith block index out of range");
    }
    if (!image_.mapped()) {
        throw std::runtime_error("Auralith record image is not open");
    }
    static constexpr const char* kChanged = "Auralith record file changed on disk while open";
    const auto view = [&] {
        try {
            return viewIndexedBlock(image_.bytes(), lists[channel][chunkIndex], verify);
        } catch (const std::runtime_error&) {
            // A checksum that fails because the pages went away is not a
            // damaged record: say what happened.
            if (image_.damaged()) {
                throw std::runtime_error(kChanged);
            }
            throw;
        }
    }();
    if (image_.damaged()) {
        throw std::runtime_error(kChanged);
    }
    return view;
}

std::uint64_t RecordReader::chunkIndexAt(double seconds) const noexcept {
    if (chunkCount_ == 0 || seconds <= 0.0) {
        return 0;
    }
    if (seconds >= index_.header.duration) {
        return chunkCount_ - 1;
    }
    const auto& blocks = index_.channelBlocks[0];
    std::size_t lo = 0;
    std::size_t hi = blocks.size();
    while (lo < hi) {  // first block whose ownershipEnd > seconds
        const std::size_t mid = lo + (hi - lo) / 2;
        if (blocks[mid].ownershipEnd > seconds) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return lo < blocks.size() ? lo : chunkCount_ - 1;
}

}  // namespace al::file
