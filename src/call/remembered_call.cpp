// remembered_call.cpp: matching a call with the last one received, and
// remembering a call identified by binding.
#include "call/remembered_call.h"

#include <utility>

#include "python/interpreter_shortcuts.h"

namespace lineage_store {

bool RememberedCall::matches(PyObject* func, const CallArguments& arguments, Match& out) const noexcept {
    if (!call_ || arguments.positional_count() != positional_count_) return false;
    const Py_ssize_t keywords = arguments.keyword_count();
    if (static_cast<std::size_t>(positional_count_ - 1 + keywords) != targets_.size()) return false;
    // The arguments first: they tell most other calls apart.
    for (std::size_t t = 0; t < targets_.size(); ++t) {
        const Target& target = targets_[t];
        const auto argument = static_cast<Py_ssize_t>(t) + 1;
        PyObject* received = nullptr;
        if (target.keyword == nullptr) {
            received = arguments.positional(argument);
        } else {
            const Py_ssize_t k = argument - positional_count_;
            if (arguments.keyword_name(k) != target.keyword) return false;
            received = arguments.keyword_value(k);
        }
        PyObject* held = call_->value(static_cast<std::size_t>(target.place));
        if (target.item >= 0) {
            held = tuple_item(held, target.item);
            if (target.keyword != nullptr) held = tuple_item(held, 1);  // a (name, value) pair of **kwargs
        }
        if (received != held && plain_equal(held, received) != 1) return false;
    }
    // The layout the call was bound with is still the function's, and no
    // attribute has been set on it that inspect would read first.
    const InterpreterShortcuts& objects = shortcuts;
    if (objects.code.read_borrowed(func) != layout_->code.get() ||
        objects.defaults.read_borrowed(func) != layout_->defaults.get()) {
        return false;
    }
    PyObject* attributes = function_attribute_dict(func);
    if (attributes != nullptr && PyDict_Size(attributes) != 0) return false;
    out.hash = hash_;
    out.call = call_.get();
    out.layout = layout_.get();
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
    SmallArray<Target, 4> targets;
    for (Py_ssize_t i = 1; i < positional_count; ++i) {
        if (!is_plain(arguments.positional(i))) return;
        if (i < layout.positional_count) {
            targets.push_back({layout.place_of[static_cast<std::size_t>(i)], -1, nullptr});
        } else {
            targets.push_back(
                {layout.var_positional_place, static_cast<std::int32_t>(i - layout.positional_count), nullptr});
        }
    }
    for (Py_ssize_t k = 0; k < arguments.keyword_count(); ++k) {
        PyObject* name = arguments.keyword_name(k);
        if (!is_plain(arguments.keyword_value(k))) return;
        const Py_ssize_t index = layout.keyword_index(name);
        if (index >= 0) {
            // Compared by identity later: the name must be the layout's own.
            if (layout.names[static_cast<std::size_t>(index)].get() != name) return;
            targets.push_back({layout.place_of[static_cast<std::size_t>(index)], -1, name});
            continue;
        }
        PyObject* pairs = registered->value(static_cast<std::size_t>(layout.var_keyword_place));
        Py_ssize_t item = 0;
        while (item < PyTuple_Size(pairs) && tuple_item(tuple_item(pairs, item), 0) != name) ++item;
        if (item == PyTuple_Size(pairs)) return;
        targets.push_back({layout.var_keyword_place, static_cast<std::int32_t>(item), name});
    }
    if (identity.equals_without_python(*registered) != 1) return;
    // Replaced in full before anything is released: releasing may run a
    // finaliser that calls this method again.
    BoundCallRef call = registered;
    LayoutRef layout_held = identity.layout_;
    std::swap(call_, call);
    std::swap(layout_, layout_held);
    hash_ = identity.hash_;
    positional_count_ = positional_count;
    targets_.clear();
    for (std::size_t t = 0; t < targets.size(); ++t) targets_.push_back(targets[t]);
}

}  // namespace lineage_store
