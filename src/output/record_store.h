// Holds the records of one run in memory, in the order they arrive, in large
// blocks rather than one heap copy each.
#ifndef KORVADEX_OUTPUT_RECORD_STORE_H_
#define KORVADEX_OUTPUT_RECORD_STORE_H_

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace korvadex {

// The records held, each read back by its number in arrival order. While
// every record has the same length (the normal case: one job gives
// fixed-width records) record i sits at a computed place and needs no index
// of its own; a view per record is kept only once two lengths differ.
class RecordStore {
 public:
  RecordStore() = default;
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  std::size_t count() const { return count_; }

  // Record `index` in arrival order; valid until Clear or Release.
  std::string_view operator[](std::size_t index) const {
    if (!hasUniformLength_) return views_[index];
    if (recordLength_ == 0) return {};
    const char* block = blocks_[index / recordsPerBlock_].get();
    return {block + (index % recordsPerBlock_) * recordLength_, recordLength_};
  }

  // Bytes at the start that every record held shares (a zero-filled number
  // column shares its leading zeros).
  std::size_t sharedPrefix() const { return sharedPrefix_; }

  // Bytes taken: every block, those kept from before a Clear too, and the views.
  std::size_t memory() const { return blockBytes_ + views_.capacity() * sizeof(std::string_view); }

  // Bytes that Add of a record of `size` bytes would add to memory().
  std::size_t GrowthFor(std::size_t size) const;

  // Size of the blocks claimed from now on; a record larger than that gets a
  // block of its own size.
  void SetBlockBytes(std::size_t bytes) { targetBlockBytes_ = bytes; }

  // Stores a copy of `record`. Throws std::bad_alloc, the records held unchanged.
  void Add(std::string_view record);

  // Forgets the records but keeps the blocks for those that come next.
  void Clear();

  // Forgets the records and gives all memory back.
  void Release();

 private:
  struct BlockFree {
    void operator()(char* block) const;
  };
  struct Placement;

  Placement Place(std::size_t size) const;
  void ClaimBlock(std::size_t size);
  void SwitchToViews(std::size_t capacity);

  std::size_t targetBlockBytes_ = std::size_t{4} << 20;
  std::vector<std::unique_ptr<char, BlockFree>> blocks_;
  std::vector<std::size_t> blockSizes_;
  std::size_t blockBytes_ = 0;   // sum of blockSizes_
  std::size_t blocksInUse_ = 0;  // blocks holding records now
  std::size_t blockUsed_ = 0;    // bytes used in the last block in use
  std::size_t count_ = 0;
  bool hasUniformLength_ = true;
  std::size_t recordLength_ = 0;     // the common length while uniform
  std::size_t recordsPerBlock_ = 0;  // how many of them one block holds
  std::vector<std::string_view> views_;
  std::size_t sharedPrefix_ = 0;
};

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_RECORD_STORE_H_
