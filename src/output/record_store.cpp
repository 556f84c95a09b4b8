// Holds the records of one run in memory, in the order they arrive, in large
// blocks rather than one heap copy each.
#include "output/record_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/memory_limit.h"

namespace korvadex {

namespace {

// How many leading bytes, up to `limit`, `first` and `second` have in common.
std::size_t SharedLength(std::string_view first, std::string_view second, std::size_t limit) {
  limit = std::min({limit, first.size(), second.size()});
  std::size_t length = 0;
  while (length < limit && first[length] == second[length]) ++length;
  return length;
}

}  // namespace

// Where the next record goes and what has to be allocated for it first, so
// that GrowthFor tells in advance what Add will allocate.
struct RecordStore::Placement {
  bool startsOver = false;          // nothing held: this record's length sets the layout
  bool switchesToViews = false;     // a record of another length ends the uniform layout
  std::size_t recordsPerBlock = 0;  // of the uniform layout
  std::size_t blockSize = 0;        // nonzero: block `blocksInUse_` must first be claimed this large
  std::size_t viewCapacity = 0;     // nonzero: `views_` must first grow to this capacity
};

void RecordStore::BlockFree::operator()(char* block) const { std::free(block); }

RecordStore::Placement RecordStore::Place(std::size_t size) const {
  Placement place;
  place.startsOver = count_ == 0;
  if (place.startsOver || (hasUniformLength_ && size == recordLength_)) {
    place.recordsPerBlock = !place.startsOver ? recordsPerBlock_
                            : size == 0       ? 1
                                              : std::max<std::size_t>(1, targetBlockBytes_ / size);
    if (size > 0 && count_ % place.recordsPerBlock == 0) place.blockSize = place.recordsPerBlock * size;
    return place;
  }
  place.switchesToViews = hasUniformLength_;
  if (place.switchesToViews) {
    place.viewCapacity = count_ + 1;
  } else if (views_.size() == views_.capacity()) {
    place.viewCapacity = 2 * views_.capacity();
  }
  if (size > 0 && (blocksInUse_ == 0 || blockSizes_[blocksInUse_ - 1] - blockUsed_ < size)) {
    place.blockSize = std::max(targetBlockBytes_, size);
  }
  return place;
}

std::size_t RecordStore::GrowthFor(std::size_t size) const {
  const Placement place = Place(size);
  std::size_t growth = 0;
  if (place.blockSize > 0) {
    const std::size_t reusable = blocksInUse_ < blocks_.size() ? blockSizes_[blocksInUse_] : 0;
    growth += place.blockSize - std::min(place.blockSize, reusable);
  }
  if (place.viewCapacity > views_.capacity()) {
    growth += (place.viewCapacity - views_.capacity()) * sizeof(std::string_view);
  }
  return growth;
}

// Makes block `blocksInUse_` at least `size` bytes, reusing a block left from
// before a Clear when it is big enough. Throws std::bad_alloc, the store unchanged.
void RecordStore::ClaimBlock(std::size_t size) {
  const std::size_t index = blocksInUse_;
  if (index < blocks_.size() && blockSizes_[index] >= size) return;
  if (index >= blocks_.size()) {
    blocks_.reserve(index + 1);
    blockSizes_.reserve(index + 1);
  }
  // Plain pages on purpose: huge pages were measured slower here, since each
  // fault clears 2 MiB of fresh memory.
  std::unique_ptr<char, BlockFree> block(static_cast<char*>(std::malloc(size)));
  if (!block) throw std::bad_alloc();
  // The block is filled from start to end soon; its pages are mapped in one go.
  PopulateMemory(block.get(), size);
  if (index < blocks_.size()) {
    blockBytes_ -= blockSizes_[index];
    blocks_[index] = std::move(block);
    blockSizes_[index] = size;
  } else {
    blocks_.push_back(std::move(block));
    blockSizes_.push_back(size);
  }
  blockBytes_ += size;
}

// Gives every record a view of its own, for when a record of another length
// arrives. Throws std::bad_alloc, the store unchanged.
void RecordStore::SwitchToViews(std::size_t capacity) {
  std::vector<std::string_view> views;
  views.reserve(capacity);
  for (std::size_t i = 0; i < count_; ++i) views.push_back((*this)[i]);
  views_ = std::move(views);
  hasUniformLength_ = false;
}

void RecordStore::Add(std::string_view record) {
  const Placement place = Place(record.size());
  if (place.blockSize > 0) ClaimBlock(place.blockSize);
  if (place.switchesToViews) {
    SwitchToViews(place.viewCapacity);
  } else if (place.viewCapacity > 0) {
    views_.reserve(place.viewCapacity);
  }
  if (place.startsOver) {
    hasUniformLength_ = true;
    recordLength_ = record.size();
    recordsPerBlock_ = place.recordsPerBlock;
  }
  if (place.blockSize > 0) {
    ++blocksInUse_;
    blockUsed_ = 0;
  }
  char* target = nullptr;
  if (!record.empty()) {
    target = blocks_[blocksInUse_ - 1].get() + blockUsed_;
    std::memcpy(target, record.data(), record.size());
    blockUsed_ += record.size();
  }
  if (!hasUniformLength_) views_.emplace_back(target, record.size());
  ++count_;
  if (count_ == 1) {
    sharedPrefix_ = record.size();
  } else if (sharedPrefix_ > 0) {
    sharedPrefix_ = SharedLength((*this)[0], record, sharedPrefix_);
  }
}

void RecordStore::Clear() {
  count_ = 0;
  blocksInUse_ = 0;
  blockUsed_ = 0;
  hasUniformLength_ = true;
  recordLength_ = 0;
  std::vector<std::string_view>().swap(views_);
  sharedPrefix_ = 0;
}

void RecordStore::Release() {
  Clear();
  std::vector<std::unique_ptr<char, BlockFree>>().swap(blocks_);
  std::vector<std::size_t>().swap(blockSizes_);
  blockBytes_ = 0;
}

}  // namespace korvadex
