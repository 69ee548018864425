// A table of fixed-size entries kept in a chain of equal blocks, stored as the big-endian
// bytes that go to the file. Appending never moves or copies earlier entries, so a sample
// table grows at constant cost per sample however long the track becomes; on close the
// entries are copied out block by block.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace varnel::mp4 {

class BlockList {
public:
    // The only mode accepted by blockBytes: the size of a buffer that holds any one block.
    static constexpr int kLargestBlock = 1;

    // A list of `entry_size`-byte entries, `per_block` per block, starting with one empty block.
    BlockList(uint32_t entry_size, uint32_t per_block);
    BlockList(const BlockList&) = delete;
    BlockList& operator=(const BlockList&) = delete;

    // Copies one entry of `length` (== entry size) bytes into the next slot, linking a new block
    // when the last is full. Returns -1, the list unchanged, when that allocation fails.
    int append(const uint8_t* entry, uint32_t length);

    // per_block * entry_size for mode kLargestBlock, -1 for any other mode.
    int64_t blockBytes(int mode) const;

    // Copies the current block's entries into `buffer` (at least blockBytes bytes), reports
    // their byte count and advances; the first call after construction or rewind starts at the
    // first block. Returns -1 past the last block or at a block without entries, so an empty
    // list yields nothing.
    int nextBlock(uint8_t* buffer, uint32_t* byte_count);

    // The next nextBlock starts again at the first block.
    void rewind();

    uint32_t entrySize() const { return entry_size_; }
    uint32_t perBlock() const { return per_block_; }
    size_t blockCount() const { return blocks_.size(); }

private:
    uint32_t entry_size_;
    uint32_t per_block_;
    // Each block one allocation of per_block entries. Never empty; every block but the last is
    // full, and the last holds last_used_ entries.
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;
    uint32_t last_used_ = 0;
    size_t cursor_ = 0;  // next block handed out by nextBlock
};

}  // namespace varnel::mp4
