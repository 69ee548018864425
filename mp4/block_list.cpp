#include "mp4/block_list.h"

#include <cassert>
#include <cstring>
#include <new>

namespace varnel::mp4 {

BlockList::BlockList(uint32_t entry_size, uint32_t per_block) : entry_size_(entry_size), per_block_(per_block) {
    assert(entry_size > 0 && per_block > 0);
    auto first = std::make_unique<Block>();
    first->entries = std::make_unique<uint8_t[]>(size_t{entry_size_} * per_block_);
    blocks_.push_back(std::move(first));
}

int BlockList::append(const uint8_t* entry, uint32_t length) {
    assert(length == entry_size_);
    if (length != entry_size_) return -1;
    if (blocks_.back()->used == per_block_) {
        try {
            blocks_.reserve(blocks_.size() + 1);  // so that push_back below cannot throw
            auto next = std::make_unique<Block>();
            next->entries = std::make_unique<uint8_t[]>(size_t{entry_size_} * per_block_);
            blocks_.push_back(std::move(next));
        } catch (const std::bad_alloc&) {
            return -1;
        }
    }
    Block& last = *blocks_.back();
    std::memcpy(last.entries.get() + size_t{last.used} * entry_size_, entry, entry_size_);
    ++last.used;
    return 0;
}

int64_t BlockList::blockBytes(int mode) const {
    if (mode != kLargestBlock) return -1;
    return int64_t{per_block_} * entry_size_;
}

int BlockList::nextBlock(uint8_t* buffer, uint32_t* byte_count) {
    if (cursor_ >= blocks_.size() || blocks_[cursor_]->used == 0) return -1;
    const Block& block = *blocks_[cursor_];
    const uint32_t bytes = block.used * entry_size_;
    std::memcpy(buffer, block.entries.get(), bytes);
    *byte_count = bytes;
    ++cursor_;
    return 0;
}

void BlockList::rewind() { cursor_ = 0; }

}  // namespace varnel::mp4
