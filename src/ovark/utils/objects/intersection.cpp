// ovark.utils.objects - Find._unhashable_intersection and _unhashable_remove:
// what every requirement admitted when the members cannot be hashed, found by
// equality through an index per list instead of a comparison of every pair.
#include "state.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

namespace objects {

// The members of `unhashables` without repeats of the very same object.
Ref unhashable_remove(PyObject* unhashables) {
    Ref result = new_list();
    std::unordered_set<PyObject*> seen;
    for_each(unhashables, [&](PyObject* item) {
        if (seen.insert(item).second) append(result.get(), item);
    });
    return result;
}

Ref Find_unhashable_remove(const Call&, PyObject*, PyObject* unhashables) { return unhashable_remove(unhashables); }

namespace {

// An equality key for members that cannot be hashed: values that compare
// equal get equal keys. Exact dicts, lists and tuples are keyed by their
// contents; texts, numbers, None and objects that compare by identity by their
// hash. Anything else (a class with its own __eq__, a dict subclass, a set,
// deep nesting) has no key and is compared with every member.
uint64_t mix(uint64_t x) {  // a 64-bit finaliser: every input bit moves every output bit
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    return x ^ (x >> 33);
}

bool equality_key(PyObject* o, Py_uhash_t& out, int depth = 0) {
    if (PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o) || o == Py_None ||
        PyBytes_CheckExact(o) || PyComplex_CheckExact(o)) {
        Py_hash_t h = PyObject_Hash(o);
        if (h == -1 && PyErr_Occurred()) throw Error();
        out = (Py_uhash_t)h;
        return true;
    }
    if (depth >= 32) return false;
    bool list = PyList_CheckExact(o);
    if (list || PyTuple_CheckExact(o)) {
        uint64_t h = list ? 0x27d4eb2fu : 0x345678u;
        bool keyed = true;
        for_each(o, [&](PyObject* item) {
            Py_uhash_t k = 0;
            if (!keyed || !(keyed = equality_key(item, k, depth + 1))) return;
            h = mix(h ^ k) + 0x9e3779b97f4a7c15ULL;
        });
        out = h;
        return keyed;
    }
    if (PyDict_CheckExact(o)) {
        // Order-free: equal dicts hold equal entries in any order.
        uint64_t h = mix(0x9e3779b9u + (uint64_t)PyDict_GET_SIZE(o));
        bool keyed = true;
        for_items(o, nullptr, [&](PyObject* key, PyObject* value) {
            Py_uhash_t k = 0;
            if (!keyed || !(keyed = equality_key(value, k, depth + 1))) return;
            Py_hash_t kh = PyObject_Hash(key);
            if (kh == -1 && PyErr_Occurred()) throw Error();
            h += mix((uint64_t)kh ^ mix(k + 0x632be59bu));
        });
        out = h;
        return keyed;
    }
    if (Py_TYPE(o)->tp_richcompare != PyBaseObject_Type.tp_richcompare) return false;
    Py_hash_t h = PyObject_Hash(o);  // equality is identity: any hash of its own fits
    if (h == -1 && PyErr_Occurred()) {
        if (!clear_if_unhashable()) throw Error();
        return false;
    }
    out = (Py_uhash_t)h;
    return true;
}

// One list of the intersection, indexed for `member in list`: by identity,
// and by equality key, each in a flat open-addressing table; the members with
// the same key are chained in the list's order, and the positions of the
// members that have no key are kept apart.
class EqualityIndex {
public:
    explicit EqualityIndex(PyObject* list) : items_(own(PySequence_List(list))) {
        size_t n = (size_t)PyList_GET_SIZE(items_.get());
        capacity_ = 16;
        while (capacity_ < n + n / 2) capacity_ <<= 1;
        identities_.assign(capacity_, nullptr);
        for (size_t i = 0; i < n; ++i) {
            PyObject* item = PyList_GET_ITEM(items_.get(), (Py_ssize_t)i);
            size_t slot = mix((uint64_t)(uintptr_t)item) & (capacity_ - 1);
            while (identities_[slot] && identities_[slot] != item) slot = (slot + 1) & (capacity_ - 1);
            identities_[slot] = item;
        }
    }

    // `member in list`: the members that may equal it are compared in the
    // list's order, as the list's own test would. `keyed` and `key` are
    // worked out on first need (-1: not yet).
    bool contains(PyObject* member, int& keyed, Py_uhash_t& key) {
        for (size_t slot = mix((uint64_t)(uintptr_t)member) & (capacity_ - 1); identities_[slot];
             slot = (slot + 1) & (capacity_ - 1))
            if (identities_[slot] == member) return true;
        if (!keys_ready_) index_keys();
        if (keyed < 0) keyed = equality_key(member, key);
        if (!keyed) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items_.get()); ++i)
                if (equal_at(i, member)) return true;
            return false;
        }
        Py_ssize_t a = first_with(key);
        size_t b = 0;
        while (a >= 0 || b < unkeyed_.size()) {
            if (b == unkeyed_.size() || (a >= 0 && a < unkeyed_[b])) {
                if (equal_at(a, member)) return true;
                a = next_[(size_t)a];
            } else if (equal_at(unkeyed_[b++], member)) {
                return true;
            }
        }
        return false;
    }

private:
    struct KeySlot {
        Py_uhash_t key;
        Py_ssize_t first = -1;  // the chain of positions with this key, through next_
    };

    // The equality keys, on the first member that is not in the list itself.
    void index_keys() {
        keys_ready_ = true;
        Py_ssize_t n = PyList_GET_SIZE(items_.get());
        keys_.assign(capacity_, KeySlot{});
        next_.assign((size_t)n, -1);
        for (Py_ssize_t i = n - 1; i >= 0; --i) {  // from the end, so that each chain runs in order
            Py_uhash_t k = 0;
            if (!equality_key(PyList_GET_ITEM(items_.get(), i), k)) {
                unkeyed_.push_back(i);
                continue;
            }
            KeySlot& slot = key_slot(k);
            slot.key = k;
            next_[(size_t)i] = slot.first;
            slot.first = i;
        }
        std::reverse(unkeyed_.begin(), unkeyed_.end());
    }

    KeySlot& key_slot(Py_uhash_t k) {
        size_t slot = mix(k) & (capacity_ - 1);
        while (keys_[slot].first >= 0 && keys_[slot].key != k) slot = (slot + 1) & (capacity_ - 1);
        return keys_[slot];
    }

    Py_ssize_t first_with(Py_uhash_t k) { return key_slot(k).first; }

    bool equal_at(Py_ssize_t i, PyObject* member) const {
        Ref item = Ref::borrow(PyList_GET_ITEM(items_.get(), i));
        return check(PyObject_RichCompareBool(item.get(), member, Py_EQ)) != 0;
    }

    Ref items_;  // a snapshot of the list; keeps its members alive
    size_t capacity_;
    std::vector<PyObject*> identities_;
    bool keys_ready_ = false;
    std::vector<KeySlot> keys_;
    std::vector<Py_ssize_t> next_;
    std::vector<Py_ssize_t> unkeyed_;
};

}  // namespace

// The members of the first list, without repeats, that equal a member of
// every other list, in the order of the first list. Each other list is
// indexed once, so that the work grows with the lengths of the lists, not
// with their product.
Ref unhashable_intersection(Ctx& c, PyObject* lists) {
    if (!truth(lists)) return new_list();
    Ref first = own(PySequence_GetItem(lists, 0));
    Ref result = c.direct ? unhashable_remove(first.get())
                          : call_method(c.st.names[N__unhashable_remove], {c.self, first.get()});
    Ref others = own(PySequence_List(own(PySequence_GetSlice(lists, 1, PY_SSIZE_T_MAX)).get()));
    if (!PyList_GET_SIZE(others.get())) return result;
    std::vector<std::unique_ptr<EqualityIndex>> indexes;
    for_each(others.get(), [&](PyObject* other) { indexes.push_back(std::make_unique<EqualityIndex>(other)); });
    Ref kept = new_list();
    for_each(own(PySequence_List(result.get())).get(), [&](PyObject* member) {
        Py_uhash_t key = 0;
        int keyed = -1;
        for (auto& index : indexes)
            if (!index->contains(member, keyed, key)) return;
        append(kept.get(), member);
    });
    return kept;
}

Ref Find_unhashable_intersection(const Call& c, PyObject* self, PyObject* unhashables_lists) {
    Ctx ctx(c.state<State>(), c.module(), self);
    return unhashable_intersection(ctx, unhashables_lists);
}

}  // namespace objects
