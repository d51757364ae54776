#include "playback/ChunkLoader.h"

#include <stdexcept>

namespace al::surrogate {

ChunkLoader::ChunkLoader(std::shared_ptr<const file::RecordReader> reader)
    : reader_(std::move(reader)) {
    if (!reader_ || !reader_->isOpen()) {
        throw std::invalid_argument("ChunkLoader requires an open Auralith record");
    }
}

LoadedBlocks ChunkLoader::loadBlocks(std::uint64_t chunkIndex) const {
    LoadedBlocks loaded;
    loadBlocks(chunkIndex, loaded);
    return loaded;
}

void ChunkLoader::loadBlocks(std::uint64_t chunkIndex, LoadedBlocks& loaded) const {
    if (chunkIndex >= reader_->chunkCount()) {
        throw std::out_of_range("Playback chunk index out of range");
    }
    loaded.chunkIndex = chunkIndex;
    loaded.reader = reader_;
    const std::size_t channels = reader_->header().channelCount;
    loaded.blocks.clear();  // keeps its capacity: workers reuse one buffer
    loaded.blocks.reserve(channels);
    for (std::size_t c = 0; c < channels; ++c) {
        loaded.blocks.push_back(reader_->block(c, chunkIndex, false));
    }
}

std::shared_ptr<const PlaybackChunk> ChunkLoader::prepareChunk(std::uint64_t chunkIndex) const {
    return prepareChunk(loadBlocks(chunkIndex));
}

std::shared_ptr<const PlaybackChunk> ChunkLoader::prepareChunk(const LoadedBlocks& loaded) const {
    if (loaded.blocks.empty()) {
        throw std::invalid_argument("Prepared playback chunk contains no channel blocks");
    }
    auto chunk = std::make_shared<PlaybackChunk>();
    chunk->index = loaded.chunkIndex;
    chunk->channels.reserve(loaded.blocks.size());
    for (const file::BlockView& block : loaded.blocks) {
        block.verifyCrc();
        ChannelGeometry geometry = decodeChannelGeometry(block);
        if (chunk->channels.empty()) {
            chunk->ownershipStart = geometry.ownershipStart();
            chunk->ownershipEnd = geometry.ownershipEnd();
        } else if (geometry.ownershipStart() != chunk->ownershipStart ||
                   geometry.ownershipEnd() != chunk->ownershipEnd) {
            throw std::runtime_error("Decoded channel ownership intervals are not aligned");
        }
        chunk->channels.push_back(std::move(geometry));
    }
    return chunk;
}

}  // namespace al::surrogate
