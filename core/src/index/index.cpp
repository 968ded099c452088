// The Index and the Bank: argument checks around one store, and for the
// Bank the publication of each write to concurrent readers.
#include "brimel/index.hpp"

#include <mutex>
#include <stdexcept>

#include "brimel/errors.hpp"
#include "brimel/plan.hpp"
#include "store.hpp"

namespace brimel {
namespace {

[[noreturn, gnu::cold, gnu::noinline]] void throw_full(std::uint64_t n, std::uint64_t adding,
                                                       std::uint64_t max_rows) {
    throw IndexFull("Index full: adding " + std::to_string(adding) + " rows to " + std::to_string(n) +
                    " stored would exceed the limit of " + std::to_string(max_rows) +
                    " rows (ids are unsigned 32-bit)");
}

void check_create(std::uint64_t d_bytes, std::uint32_t k) {
    if (!k_below_code_bits(k, d_bytes)) panic(messages::k_not_below_code_bits("Index: ", k, d_bytes));
    if (!chunk_fits_key(detail::widest_bit_chunk(d_bytes, k)))
        panic("Index: " + std::string(messages::kChunkTooWide));
}

void check_batch(const detail::Store& store, ByteSpan rows, const char* what) {
    if (rows.size() % store.d_bytes() != 0) panic_not_equal(what, rows.size() % store.d_bytes(), 0);
    const std::uint64_t m = rows.size() / store.d_bytes();
    if (m > std::uint64_t{store.max_rows()} - store.next_id())
        throw_full(store.next_id(), m, store.max_rows());
}

}  // namespace

Index::Index(std::unique_ptr<detail::Store> store) noexcept : store_(std::move(store)) {}
Index::Index(Index&&) noexcept = default;
Index& Index::operator=(Index&&) noexcept = default;
Index::~Index() = default;

Index Index::create(std::uint64_t d_bytes, std::uint32_t k, std::uint32_t max_rows,
                    const StoreTuning& tuning) {
    check_create(d_bytes, k);
    return Index(std::make_unique<detail::Store>(d_bytes, k, max_rows, tuning));
}

std::uint32_t Index::add(ByteSpan row) {
    assert_equal(row.size(), store_->d_bytes(), "Index::add row length mismatch");
    if (store_->next_id() >= store_->max_rows()) throw_full(store_->next_id(), 1, store_->max_rows());
    const auto id = static_cast<std::uint32_t>(store_->next_id());
    store_->append(row, nullptr);
    return id;
}

std::uint32_t Index::add_batch(ByteSpan rows, const RunControl* control) {
    check_batch(*store_, rows, "Index::add_batch length not multiple of d_bytes");
    const auto first = static_cast<std::uint32_t>(store_->next_id());
    store_->append(rows, control);
    return first;
}

std::vector<QueryHit> Index::query(ByteSpan row) const {
    assert_equal(row.size(), store_->d_bytes(), "Index::query row length mismatch");
    return store_->query(row.data(), store_->k());
}

std::vector<PairRecord> Index::query_batch(ByteSpan rows, std::uint32_t k, const RunControl* control) const {
    if (rows.size() % store_->d_bytes() != 0)
        panic_not_equal("Index::query_batch length not multiple of d_bytes", rows.size() % store_->d_bytes(),
                        0);
    if (k > store_->k()) panic("Index::query_batch: k above the index's k");
    return store_->query_batch(rows, k, control);
}

void Index::save(const std::string& path) const { store_->save(path); }
std::uint64_t Index::saved_size() const { return store_->saved_size(); }
void Index::save_to(std::span<std::uint8_t> out) const { store_->save_to(out); }
Index Index::load(const std::string& path, bool map) {
    return Index(std::make_unique<detail::Store>(detail::Store::load(path, map, true)));
}
Index Index::from_bytes(ByteSpan bytes) {
    return Index(std::make_unique<detail::Store>(detail::Store::from_bytes(bytes, true)));
}

std::uint64_t Index::d_bytes() const noexcept { return store_->d_bytes(); }
std::uint32_t Index::k() const noexcept { return store_->k(); }
std::uint32_t Index::n() const noexcept { return static_cast<std::uint32_t>(store_->next_id()); }
std::uint32_t Index::max_rows() const noexcept { return store_->max_rows(); }
std::size_t Index::segments() const noexcept { return store_->segments(); }

// ---- Bank -------------------------------------------------------------------

struct Bank::Shared {
    std::uint64_t d_bytes;
    std::uint32_t k;
    std::mutex writer;           // one write at a time
    mutable std::mutex pointer;  // guards `state` for the pointer copy only
    std::shared_ptr<const detail::Store> state;
};

Bank::Bank(std::uint64_t d_bytes, std::uint32_t k, const StoreTuning& tuning) {
    // Codes of 2^56 bytes or more are refused too: no product of their width
    // may wrap.
    if (d_bytes > (std::uint64_t{1} << 56) || !k_below_code_width(k, d_bytes))
        panic(messages::k_not_below_code_bits("Bank: ", k, d_bytes));
    shared_ = std::make_unique<Shared>();
    shared_->d_bytes = d_bytes;
    shared_->k = k;
    shared_->state =
        std::make_shared<const detail::Store>(d_bytes, k, static_cast<std::uint32_t>(kMaxRows), tuning);
}

Bank::Bank(detail::Store&& store) : shared_(std::make_unique<Shared>()) {
    shared_->d_bytes = store.d_bytes();
    shared_->k = store.k();
    shared_->state = std::make_shared<const detail::Store>(std::move(store));
}

Bank::~Bank() = default;

std::shared_ptr<const detail::Store> Bank::published() const {
    const std::lock_guard lock(shared_->pointer);
    return shared_->state;
}

std::uint32_t Bank::add_batch(ByteSpan rows, const RunControl* control) {
    const std::lock_guard writing(shared_->writer);
    const std::shared_ptr<const detail::Store> current = published();
    check_batch(*current, rows, "Bank::add_batch length not multiple of d_bytes");
    auto next = std::make_shared<detail::Store>(*current);
    const auto first = static_cast<std::uint32_t>(next->next_id());
    next->append(rows, control);
    const std::lock_guard lock(shared_->pointer);
    shared_->state = std::move(next);
    return first;
}

std::uint64_t Bank::remove(std::span<const std::uint64_t> ids) {
    const std::lock_guard writing(shared_->writer);
    const std::shared_ptr<const detail::Store> current = published();
    for (const std::uint64_t id : ids)
        if (id >= current->next_id())
            throw std::out_of_range("id " + std::to_string(id) + " was never issued (ids issued: " +
                                    std::to_string(current->next_id()) + ")");
    auto next = std::make_shared<detail::Store>(*current);
    const std::uint64_t removed = next->remove(ids);
    const std::lock_guard lock(shared_->pointer);
    shared_->state = std::move(next);
    return removed;
}

void Bank::compact(const RunControl* control) {
    const std::lock_guard writing(shared_->writer);
    auto next = std::make_shared<detail::Store>(*published());
    next->compact(control);
    const std::lock_guard lock(shared_->pointer);
    shared_->state = std::move(next);
}

std::vector<QueryHit> Bank::query(ByteSpan row, std::uint32_t k) const {
    assert_equal(row.size(), shared_->d_bytes, "Bank::query row length mismatch");
    if (k > shared_->k) panic("Bank::query: k above the bank's k");
    return published()->query(row.data(), k);
}

std::vector<PairRecord> Bank::query_batch(ByteSpan rows, std::uint32_t k, const RunControl* control) const {
    if (rows.size() % shared_->d_bytes != 0)
        panic_not_equal("Bank::query_batch length not multiple of d_bytes", rows.size() % shared_->d_bytes,
                        0);
    if (k > shared_->k) panic("Bank::query_batch: k above the bank's k");
    return published()->query_batch(rows, k, control);
}

void Bank::save(const std::string& path) const { published()->save(path); }
std::uint64_t Bank::saved_size() const { return published()->saved_size(); }
void Bank::save_to(std::span<std::uint8_t> out) const { published()->save_to(out); }
std::unique_ptr<Bank> Bank::load(const std::string& path, bool map) {
    return std::unique_ptr<Bank>(new Bank(detail::Store::load(path, map, true)));
}
std::unique_ptr<Bank> Bank::from_bytes(ByteSpan bytes) {
    return std::unique_ptr<Bank>(new Bank(detail::Store::from_bytes(bytes, true)));
}

std::uint64_t Bank::d_bytes() const noexcept { return shared_->d_bytes; }
std::uint32_t Bank::k() const noexcept { return shared_->k; }
std::uint64_t Bank::next_id() const { return published()->next_id(); }
std::uint64_t Bank::live() const { return published()->live(); }

}  // namespace brimel
