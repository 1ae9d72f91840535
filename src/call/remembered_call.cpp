// remembered_call.cpp: matching a call with those received before, and
// remembering a call identified by binding.
#include "call/remembered_call.h"

#include <utility>

#include "python/interpreter_shortcuts.h"

namespace lineage_store {

bool RememberedCall::slot_of(const CallArguments& arguments, std::size_t& slot) noexcept {
    // Multiplying by an odd number permutes the low bits: calls that differ
    // in one small int argument (whose hash is the int) take distinct slots.
    constexpr Py_uhash_t odd = 0x9E3779B97F4A7C15ULL & ~Py_uhash_t{0};
    Py_uhash_t key = static_cast<Py_uhash_t>(arguments.positional_count());
    const auto mix = [&](PyObject* argument) {
        if (!is_plain(argument)) return false;
        const Py_hash_t hash = PyObject_Hash(argument);  // a plain value's: no Python code, never fails
        key = (key ^ static_cast<Py_uhash_t>(hash)) * odd;
        return true;
    };
    for (Py_ssize_t i = 1; i < arguments.positional_count(); ++i) {
        if (!mix(arguments.positional(i))) return false;
    }
    for (Py_ssize_t k = 0; k < arguments.keyword_count(); ++k) {
        key = (key ^ reinterpret_cast<std::uintptr_t>(arguments.keyword_name(k))) * odd;
        if (!mix(arguments.keyword_value(k))) return false;
    }
    slot = static_cast<std::size_t>(key) % kSlots;
    return true;
}

RememberedCall::RememberedCall() noexcept = default;

RememberedCall::~RememberedCall() noexcept(false) {
    if (!forms_) return;
    // Released one by one here, where a forced unwind may pass, rather than
    // by the array's noexcept deletion.
    const std::size_t count = table_ ? kSlots : 1;
    for (std::size_t i = 0; i < count; ++i) {
        forms_[i].call.reset();
        forms_[i].layout.reset();
    }
}

bool RememberedCall::matches(PyObject* func, const CallArguments& arguments, Match& out) const noexcept {
    if (!forms_) return false;
    std::size_t slot = 0;
    if (table_ && !slot_of(arguments, slot)) return false;
    const Form& form = forms_[slot];
    if (!form.call || arguments.positional_count() != form.positional_count) return false;
    const Py_ssize_t keywords = arguments.keyword_count();
    if (static_cast<std::size_t>(form.positional_count - 1 + keywords) != form.target_count) return false;
    // The arguments first: they tell most other calls apart.
    for (std::size_t t = 0; t < form.target_count; ++t) {
        const Target& target = form.targets[t];
        const auto argument = static_cast<Py_ssize_t>(t) + 1;
        PyObject* received = nullptr;
        if (target.keyword == nullptr) {
            received = arguments.positional(argument);
        } else {
            const Py_ssize_t k = argument - form.positional_count;
            if (arguments.keyword_name(k) != target.keyword) return false;
            received = arguments.keyword_value(k);
        }
        PyObject* held = form.call->value(static_cast<std::size_t>(target.place));
        if (target.item >= 0) {
            held = tuple_item(held, target.item);
            if (target.keyword != nullptr) held = tuple_item(held, 1);  // a (name, value) pair of **kwargs
        }
        if (received != held && plain_equal(held, received) != 1) return false;
    }
    // The layout the call was bound with is still the function's, and no
    // attribute has been set on it that inspect would read first.
    const InterpreterShortcuts& objects = shortcuts;
    if (objects.code.read_borrowed(func) != form.layout->code.get() ||
        objects.defaults.read_borrowed(func) != form.layout->defaults.get()) {
        return false;
    }
    PyObject* attributes = function_attribute_dict(func);
    if (attributes != nullptr && PyDict_Size(attributes) != 0) return false;
    out.hash = form.hash;
    out.call = form.call.get();
    out.layout = form.layout.get();
    return true;
}

void RememberedCall::remember(const CallArguments& arguments, const CallIdentity& identity,
                              const BoundCallRef& registered) {
    if (!registered || !identity.layout_ || identity.holdings_ != nullptr) return;
    const ParameterLayout& layout = *identity.layout_;
    const InterpreterShortcuts& objects = shortcuts;
    if (layout.self_index != 0 || layout.keyword_only_count > 0 || objects.function_dict_offset <= 0 ||
        objects.code.offset <= 0 || objects.defaults.offset <= 0) {
        return;
    }
    const Py_ssize_t positional_count = arguments.positional_count();
    Form form;
    for (Py_ssize_t i = 1; i < positional_count; ++i) {
        if (!is_plain(arguments.positional(i))) return;
        if (i < layout.positional_count) {
            if (!form.add_target({layout.place_of[static_cast<std::size_t>(i)], -1, nullptr})) return;
        } else {
            if (!form.add_target(
                    {layout.var_positional_place, static_cast<std::int32_t>(i - layout.positional_count), nullptr}))
                return;
        }
    }
    for (Py_ssize_t k = 0; k < arguments.keyword_count(); ++k) {
        PyObject* name = arguments.keyword_name(k);
        if (!is_plain(arguments.keyword_value(k))) return;
        const Py_ssize_t index = layout.keyword_index(name);
        if (index >= 0) {
            // Compared by identity later: the name must be the layout's own.
            if (layout.names[static_cast<std::size_t>(index)].get() != name) return;
            if (!form.add_target({layout.place_of[static_cast<std::size_t>(index)], -1, name})) return;
            continue;
        }
        PyObject* pairs = registered->value(static_cast<std::size_t>(layout.var_keyword_place));
        Py_ssize_t item = 0;
        while (item < PyTuple_Size(pairs) && tuple_item(tuple_item(pairs, item), 0) != name) ++item;
        if (item == PyTuple_Size(pairs)) return;
        if (!form.add_target({layout.var_keyword_place, static_cast<std::int32_t>(item), name})) return;
    }
    if (identity.equals_without_python(*registered) != 1) return;
    std::size_t slot = 0;
    if (!slot_of(arguments, slot)) return;
    form.hash = identity.hash_;
    form.call = registered;
    form.layout = identity.layout_;
    form.positional_count = positional_count;
    form.slot = slot;
    place(form);
}

void RememberedCall::place(Form& form) {
    // Everything is in place before anything is released: releasing may run
    // a finaliser that calls this method again.
    if (!forms_) {
        forms_ = std::make_unique<Form[]>(1);
    } else if (!table_ && forms_[0].call) {
        // A second form: from now on each takes the slot its arguments choose.
        auto table = std::make_unique<Form[]>(kSlots);
        std::swap(table[forms_[0].slot], forms_[0]);
        std::swap(forms_, table);
        table_ = true;
        table.reset();  // holds an empty form
    }
    std::swap(forms_[table_ ? form.slot : 0], form);
    // `form` now holds what the slot held, released by the caller.
}

int RememberedCall::traverse(visitproc visit, void* arg) const noexcept {
    if (!forms_) return 0;
    const std::size_t count = table_ ? kSlots : 1;
    for (std::size_t i = 0; i < count; ++i) {
        if (!forms_[i].call) continue;
        if (const int visited = forms_[i].call->traverse(visit, arg)) return visited;
    }
    return 0;
}

}  // namespace lineage_store
