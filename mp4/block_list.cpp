#include "mp4/block_list.h"

#include <cassert>
#include <cstring>
#include <new>

namespace varnel::mp4 {

BlockList::BlockList(uint32_t entry_size, uint32_t per_block) : entry_size_(entry_size), per_block_(per_block) {
    assert(entry_size > 0 && per_block > 0);
    blocks_.push_back(std::make_unique<uint8_t[]>(size_t{entry_size_} * per_block_));
}

int BlockList::append(const uint8_t* entry, uint32_t length) {
    assert(length == entry_size_);
    if (length != entry_size_) return -1;
    if (last_used_ == per_block_) {
        try {
            blocks_.reserve(blocks_.size() + 1);  // so that push_back below cannot throw
            blocks_.push_back(std::make_unique<uint8_t[]>(size_t{entry_size_} * per_block_));
        } catch (const std::bad_alloc&) {
            return -1;
        }
        last_used_ = 0;
    }
    std::memcpy(blocks_.back().get() + size_t{last_used_} * entry_size_, entry, entry_size_);
    ++last_used_;
    return 0;
}

int64_t BlockList::blockBytes(int mode) const {
    if (mode != kLargestBlock) return -1;
    return int64_t{per_block_} * entry_size_;
}

int BlockList::nextBlock(uint8_t* buffer, uint32_t* byte_count) {
    if (cursor_ >= blocks_.size()) return -1;
    const uint32_t used = cursor_ + 1 == blocks_.size() ? last_used_ : per_block_;
    if (used == 0) return -1;
    const uint32_t bytes = used * entry_size_;
    std::memcpy(buffer, blocks_[cursor_].get(), bytes);
    *byte_count = bytes;
    ++cursor_;
    return 0;
}

void BlockList::rewind() { cursor_ = 0; }

}  // namespace varnel::mp4
