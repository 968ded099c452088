// The list of row ids under one chunk key of the streaming index, packed into
// one 8-byte word so that a table slot stays small.
//
// Most keys of a wide chunk hold a single id, so that case allocates nothing:
// the id sits inline in the word. From the second id on, the ids live in one
// heap block {size, capacity, ids[capacity]} that grows by half its size (a
// geometric growth, about 25% slack on average). Capacities are multiples of 4
// so that block sizes (8 + 4 * capacity bytes) fill the allocator's 16-byte
// granules exactly.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>

namespace brimel::detail {

class IdList {
public:
    IdList() noexcept = default;
    IdList(const IdList&) = delete;
    IdList& operator=(const IdList&) = delete;
    IdList(IdList&& other) noexcept : word_(std::exchange(other.word_, 0)) {}
    IdList& operator=(IdList&& other) noexcept {
        if (this != &other) {
            free_block();
            word_ = std::exchange(other.word_, 0);
        }
        return *this;
    }
    ~IdList() { free_block(); }

    std::uint32_t size() const noexcept {
        if (word_ == 0) return 0;
        if (word_ & kInlineTag) return 1;
        return block()->size;
    }

    // Appends `id`, which callers keep larger than every id already listed.
    // On std::bad_alloc the list is unchanged. An empty list never allocates.
    void push_back(std::uint32_t id) {
        if (word_ == 0) {
            word_ = (std::uint64_t{id} << 32) | kInlineTag;
            return;
        }
        if (word_ & kInlineTag) {
            const auto first = static_cast<std::uint32_t>(word_ >> 32);
            Header* grown = allocate(kFirstCapacity);
            grown->size = 2;
            ids_of(grown)[0] = first;
            ids_of(grown)[1] = id;
            word_ = reinterpret_cast<std::uintptr_t>(grown);
            return;
        }
        Header* current = block();
        if (current->size == current->capacity) {
            Header* grown = allocate(next_capacity(current->capacity));
            grown->size = current->size;
            std::memcpy(ids_of(grown), ids_of(current), sizeof(std::uint32_t) * current->size);
            ::operator delete(current);
            word_ = reinterpret_cast<std::uintptr_t>(grown);
            current = grown;
        }
        ids_of(current)[current->size++] = id;
    }

    // Removes the last id (undoing a push_back). Precondition: size() > 0.
    void pop_back() noexcept {
        if (word_ & kInlineTag) {
            word_ = 0;
            return;
        }
        Header* current = block();
        if (--current->size == 0) {
            ::operator delete(current);
            word_ = 0;
        }
    }

    // Gives back the room a run of push_back calls grew and pop_back calls
    // then undid: a block at least twice as large as its ids need is
    // replaced by one of the size they need (or the id goes inline). When
    // even that small block cannot be had, the list keeps its block.
    void shrink_to_fit() noexcept {
        if (word_ == 0 || (word_ & kInlineTag)) return;
        Header* current = block();
        if (current->size == 1) {
            const std::uint32_t only = ids_of(current)[0];
            ::operator delete(current);
            word_ = (std::uint64_t{only} << 32) | kInlineTag;
            return;
        }
        if (current->capacity < 2 * current->size || current->capacity <= kFirstCapacity) return;
        const std::uint32_t fitted = (current->size + 3) / 4 * 4;
        void* room = ::operator new(sizeof(Header) + sizeof(std::uint32_t) * fitted, std::nothrow);
        if (room == nullptr) return;
        auto* smaller = static_cast<Header*>(room);
        smaller->capacity = fitted;
        smaller->size = current->size;
        std::memcpy(ids_of(smaller), ids_of(current), sizeof(std::uint32_t) * current->size);
        ::operator delete(current);
        word_ = reinterpret_cast<std::uintptr_t>(smaller);
    }

    std::uint32_t back() const noexcept {
        if (word_ & kInlineTag) return static_cast<std::uint32_t>(word_ >> 32);
        return ids_of(block())[block()->size - 1];
    }

    // Starts loading what the next push_back reads: the block header first,
    // then (once that has arrived) the slot after the last id. Lists of many
    // chunk tables are touched one after the other, so overlapping these
    // misses matters more than any arithmetic here.
    void prefetch_header() const noexcept {
        if (word_ != 0 && !(word_ & kInlineTag)) __builtin_prefetch(block(), 1, 3);
    }
    void prefetch_end() const noexcept {
        if (word_ != 0 && !(word_ & kInlineTag)) __builtin_prefetch(ids_of(block()) + block()->size, 1, 3);
    }

    // The ids, ascending. An inline id is copied to `scratch`, which must
    // outlive the returned span.
    std::span<const std::uint32_t> ids(std::uint32_t& scratch) const noexcept {
        if (word_ == 0) return {};
        if (word_ & kInlineTag) {
            scratch = static_cast<std::uint32_t>(word_ >> 32);
            return {&scratch, 1};
        }
        return {ids_of(block()), block()->size};
    }

private:
    struct Header {
        std::uint32_t size;
        std::uint32_t capacity;
    };
    // Heap blocks are at least 8-byte aligned, so a block pointer is even.
    static constexpr std::uint64_t kInlineTag = 1;
    static constexpr std::uint32_t kFirstCapacity = 4;
    static constexpr std::uint64_t kLargestCapacity = 0xFFFFFFFFull;

    static std::uint32_t* ids_of(Header* header) noexcept {
        return reinterpret_cast<std::uint32_t*>(header + 1);
    }
    static const std::uint32_t* ids_of(const Header* header) noexcept {
        return reinterpret_cast<const std::uint32_t*>(header + 1);
    }
    static std::uint32_t next_capacity(std::uint32_t capacity) noexcept {
        const std::uint64_t grown = (std::uint64_t{capacity} + capacity / 2 + 3) / 4 * 4;
        return static_cast<std::uint32_t>(std::min(grown, kLargestCapacity));
    }
    static Header* allocate(std::uint32_t capacity) {
        auto* header =
            static_cast<Header*>(::operator new(sizeof(Header) + sizeof(std::uint32_t) * capacity));
        header->capacity = capacity;
        return header;
    }

    Header* block() const noexcept { return reinterpret_cast<Header*>(static_cast<std::uintptr_t>(word_)); }
    void free_block() noexcept {
        if (word_ != 0 && !(word_ & kInlineTag)) ::operator delete(block());
    }

    // 0: empty; odd: one id in the high 32 bits; otherwise a Header* to a block.
    std::uint64_t word_ = 0;
};

static_assert(sizeof(IdList) == 8);

}  // namespace brimel::detail
