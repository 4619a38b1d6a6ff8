// The shared borrow registry: finding the record in use, and this module's own implementation of
// it, which serves every module in the process when this module is the one that created it.
//
// Borrows are grouped by the object that owns the memory (the end of an array's chain of array
// bases), and within it by an alias key that describes which bytes the array can reach; two
// borrows of one owner conflict when those bytes may meet (alias_key.hpp).

#include "ext/numpy/registry.hpp"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/failure.hpp"
#include "ext/numpy/alias_key.hpp"
#include "ext/numpy/api.hpp"
#include "ext/once.hpp"
#include "ext/py_error.hpp"
#include "ext/ref.hpp"

namespace marlune::py::numpy {
namespace {

constexpr const char* capsule_name = "_RUST_NUMPY_BORROW_CHECKING_API";
constexpr std::uint64_t protocol_version = 1;
constexpr const char* lookup_failure = "Internal borrow checking API error";
constexpr const char* binding_layer = "marlune";

// ---- registry state ----------------------------------------------------------------------------

// Count per alias key: n > 0 shared borrows, -1 one exclusive borrow; 0 is never stored.
using Counts = std::unordered_map<AliasKey, std::intptr_t, AliasKeyHash>;

struct Registry {
    explicit Registry(const Api& api) : numpy(api) {}

    // What the registry needs of NumPy, taken when it was created (NumPy access had succeeded).
    const Api numpy;
    std::mutex mutex;
    // By base address; an entry with no keys is never stored.
    std::unordered_map<std::uintptr_t, Counts> bases;
};

constexpr std::intptr_t max_shared_count = PTRDIFF_MAX - 1;

// Adds `key` with `count` to the registry. Either the borrow is fully registered or, when memory
// runs out, nothing changed (the caller refuses the borrow).
void insert(Registry& registry, std::unordered_map<std::uintptr_t, Counts>::iterator entry,
            std::uintptr_t base, const AliasKey& key, std::intptr_t count) {
    if (entry != registry.bases.end()) {
        entry->second.emplace(key, count);
        return;
    }
    Counts counts;
    counts.emplace(key, count);
    registry.bases.emplace(base, std::move(counts));
}

// The registry behind a record's state.
Registry& registry_of(void* state) noexcept { return *static_cast<Registry*>(state); }

// ---- taking and giving back --------------------------------------------------------------------
//
// With the interpreter lock held, by this module or, through the record, any other. They run no
// Python code and never throw. Running out of memory while registering a borrow refuses it with
// -1 (the protocol has no other refusal a caller is prepared for) and leaves the registry as it
// was.

// A shared borrow joins the other shared borrows of the same key and is refused by an
// overlapping exclusive one; an exclusive borrow is refused by any overlapping borrow.
int take(Registry& registry, const Footprint& where, bool exclusive) noexcept {
    const auto& [base, key] = where;
    try {
        std::lock_guard lock(registry.mutex);
        auto entry = registry.bases.find(base);
        if (entry != registry.bases.end()) {
            Counts& counts = entry->second;
            if (auto found = counts.find(key); found != counts.end()) {
                if (exclusive || found->second < 1 || found->second > max_shared_count) {
                    return already_borrowed;
                }
                ++found->second;
                return borrow_granted;
            }
            for (const auto& [other, count] : counts) {
                if ((exclusive || count < 0) && conflicts(key, other)) return already_borrowed;
            }
        }
        insert(registry, entry, base, key, exclusive ? -1 : 1);
        return borrow_granted;
    } catch (...) {
        return already_borrowed;
    }
}

// Giving back a borrow that is not registered (or of the other kind) is a caller's mistake; it is
// ignored so that the counts of everybody else stay right.
void give_back(Registry& registry, const Footprint& where, bool exclusive) noexcept {
    const auto& [base, key] = where;
    try {
        std::lock_guard lock(registry.mutex);
        auto entry = registry.bases.find(base);
        if (entry == registry.bases.end()) return;
        auto found = entry->second.find(key);
        if (found == entry->second.end()) return;
        if (exclusive ? found->second != -1 : found->second < 1) return;
        if (exclusive || --found->second == 0) {
            entry->second.erase(found);
            if (entry->second.empty()) registry.bases.erase(entry);
        }
    } catch (...) {
        // Only the mutex can fail here, and then nothing was changed.
    }
}

}  // namespace

// ---- the four functions of the record ----------------------------------------------------------

extern "C" {

static int marlune_borrow_shared(void* state, PyObject* array) {
    Registry& registry = registry_of(state);
    return take(registry, footprint(registry.numpy, array), false);
}

static int marlune_borrow_exclusive(void* state, PyObject* array) {
    if ((as_array(array)->flags & writeable_flag) == 0) return not_writeable;
    Registry& registry = registry_of(state);
    return take(registry, footprint(registry.numpy, array), true);
}

static void marlune_return_shared(void* state, PyObject* array) {
    Registry& registry = registry_of(state);
    give_back(registry, footprint(registry.numpy, array), false);
}

static void marlune_return_exclusive(void* state, PyObject* array) {
    Registry& registry = registry_of(state);
    give_back(registry, footprint(registry.numpy, array), true);
}

// The capsule's destructor: the record and the state go with it.
static void marlune_destroy_registry(PyObject* capsule) {
    auto* record = static_cast<BorrowRecord*>(PyCapsule_GetPointer(capsule, capsule_name));
    if (record == nullptr) {
        // Cannot happen for a capsule made below; a destructor has nobody to report to.
        PyErr_Clear();
        return;
    }
    delete static_cast<Registry*>(record->state);
    delete record;
}

}  // extern "C"

namespace {

// ---- finding the record ------------------------------------------------------------------------

OnceCell<const BorrowRecord*> record_cell;

// Creates an empty registry and publishes it on `module`. Returns a new reference to its capsule.
Ref create_registry(const Api& numpy, PyObject* module) {
    auto registry = std::make_unique<Registry>(numpy);
    auto record = std::make_unique<BorrowRecord>(BorrowRecord{
        .version = protocol_version,
        .state = registry.get(),
        .borrow_shared = marlune_borrow_shared,
        .borrow_exclusive = marlune_borrow_exclusive,
        .return_shared = marlune_return_shared,
        .return_exclusive = marlune_return_exclusive,
    });
    Ref capsule = checked(PyCapsule_New(record.get(), capsule_name, marlune_destroy_registry));
    // From here on the capsule owns both, and frees them if it goes away.
    registry.release();
    record.release();
    if (PyObject_SetAttrString(module, capsule_name, capsule.get()) < 0) throw_pending();
    return capsule;
}

const BorrowRecord* find_record() {
    const Api numpy = api();
    Ref module = import_module(multiarray_module_name());
    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), capsule_name));
    if (capsule) {
        require_capsule(capsule.get());
    } else {
        // Whatever stopped the read, there is no usable registry yet: this module provides one.
        PyErr_Clear();
        capsule = create_registry(numpy, module.get());
    }
    auto* record =
        static_cast<const BorrowRecord*>(PyCapsule_GetPointer(capsule.get(), capsule_name));
    if (record == nullptr) throw_pending();
    if (record->version == 0) {
        throw_new_error(PyExc_TypeError,
                        std::string("Version 0 of borrow checking API is not supported by this "
                                    "version of ") +
                            binding_layer);
    }
    // Other modules may hold borrows through this record for the rest of the process.
    capsule.release();
    return record;
}

}  // namespace

const BorrowRecord* borrow_record() {
    return record_cell.get_or_init([] { return internal_on_python_error(lookup_failure, find_record); });
}

// ---- borrows of this module ------------------------------------------------------------------

namespace {

bool is_own(const BorrowRecord* record) noexcept {
    return record->return_shared == marlune_return_shared;
}

// A shared borrow through `record` of `array`, whose footprint is `where`.
void take_shared(const BorrowRecord* record, PyObject* array, const Footprint& where) {
    const int code = is_own(record) ? take(registry_of(record->state), where, false)
                                    : record->borrow_shared(record->state, array);
    switch (code) {
    case borrow_granted:
        return;
    case already_borrowed:
        throw InternalFailure(
            "taking a shared borrow of an input array should have succeeded but returned an error: "
            "AlreadyBorrowed");
    default:
        throw InternalFailure("Unexpected return code " + std::to_string(code) +
                              " from borrow checking API");
    }
}

}  // namespace

SharedArrayBorrow SharedArrayBorrow::take(const Api& numpy, PyObject* array) {
    const BorrowRecord* record = borrow_record();
    const Footprint where = footprint(numpy, array);
    take_shared(record, array, where);
    return SharedArrayBorrow(record, Ref::borrow(array), where);
}

SharedArrayBorrow::SharedArrayBorrow(SharedArrayBorrow&& other) noexcept
    : record_(other.record_), array_(std::move(other.array_)), taken_(other.taken_) {}

SharedArrayBorrow::~SharedArrayBorrow() {
    if (!array_) return;
    if (is_own(record_)) {
        give_back(registry_of(record_->state), taken_, false);
    } else {
        record_->return_shared(record_->state, array_.get());
    }
}

void SharedArrayBorrow::cover_present_layout(const Api& numpy) {
    const Footprint present = footprint(numpy, array_.get());
    if (present == taken_) return;
    take_shared(record_, array_.get(), present);
    // Another module's registry would give back by the array as it is now, that is the borrow
    // just taken: the old one cannot be reached through it and stays with that registry.
    if (is_own(record_)) give_back(registry_of(record_->state), taken_, false);
    taken_ = present;
}

}  // namespace marlune::py::numpy
