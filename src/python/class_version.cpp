// class_version.cpp: finding a class's version tag, and checking what it promises.
#include "python/class_version.h"

#include <cstddef>

#include "python/interpreter_shortcuts.h"
#include "python/py_ref.h"

namespace lineage_store {

namespace {

// Places in the interpreter's type object, in pointer-sized words: every
// field before the tag is one (tp_flags once padded), and their order has
// not changed from 3.10 to 3.15. Confirmed on a sample before use.
constexpr std::size_t word = sizeof(void*);
constexpr std::size_t flags_at = 21 * word;
constexpr std::size_t bases_at = 42 * word;
constexpr std::size_t mro_at = 43 * word;
constexpr std::size_t version_at = 48 * word;

enum class Probed { NotYet, Readable, Unreadable };
Probed probed = Probed::NotYet;

// A name no class defines, looked up to make the interpreter give a class a
// tag: a missed lookup is cached like a hit. Kept for the process.
PyObject* missing_name = nullptr;
getattrofunc type_getattro = nullptr;

template <typename Field>
Field field_at(PyTypeObject* cls, std::size_t offset) noexcept {
    return *reinterpret_cast<const Field*>(reinterpret_cast<const char*>(cls) + offset);
}

std::uint32_t tag_of(PyTypeObject* cls) noexcept { return field_at<unsigned int>(cls, version_at); }

// Type's own lookup (not a metaclass's __getattribute__ or __getattr__),
// which gives the class a tag. The miss's AttributeError is cleared.
void look_up_missing_name(PyTypeObject* cls) {
    PyRef found =
        PyRef::steal(into_python([&] { return type_getattro(reinterpret_cast<PyObject*>(cls), missing_name); }));
    if (!found) PyErr_Clear();
}

PyRef attribute(PyObject* object, const char* name) {
    return PyRef::steal(into_python([&] { return PyObject_GetAttrString(object, name); }));
}

PyRef made_class(const char* name, PyObject* bases) {
    return PyRef::steal(into_python(
        [&] { return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sO{}", name, bases); }));
}

// The layout on a sample class, then the behaviour: a lookup gives a tag,
// which stays while nothing changes, turns 0 when the class or its base
// changes, and comes back as another one.
bool tag_behaves(PyObject* base_object, PyObject* sample_object) {
    auto* base = reinterpret_cast<PyTypeObject*>(base_object);
    auto* sample = reinterpret_cast<PyTypeObject*>(sample_object);
    PyRef bases = attribute(sample_object, "__bases__");
    PyRef mro = attribute(sample_object, "__mro__");
    if (!bases || !mro) return false;
    if (field_at<unsigned long>(sample, flags_at) != PyType_GetFlags(sample) ||
        field_at<PyObject*>(sample, bases_at) != bases.get() || field_at<PyObject*>(sample, mro_at) != mro.get()) {
        return false;
    }
    look_up_missing_name(sample);
    const std::uint32_t first = tag_of(sample);
    look_up_missing_name(sample);
    if (first == 0 || tag_of(sample) != first || tag_of(base) == 0) return false;
    if (into_python([&] { return PyObject_SetAttr(base_object, missing_name, Py_None); }) < 0) return false;
    if (tag_of(sample) != 0) return false;
    look_up_missing_name(sample);
    const std::uint32_t second = tag_of(sample);
    if (second == 0 || second == first) return false;
    if (into_python([&] { return PyObject_SetAttr(sample_object, missing_name, Py_None); }) < 0) return false;
    return tag_of(sample) == 0;
}

bool probe() {
    if (!interpreter_shortcuts_built()) return false;
    PyObject* version = PySys_GetObject("hexversion");  // borrowed
    const long hexversion = version != nullptr && PyLong_Check(version) ? PyLong_AsLong(version) : 0;
    if (hexversion < 0x030A0000 || hexversion >= 0x03100000) return false;
    type_getattro = reinterpret_cast<getattrofunc>(PyType_GetSlot(&PyType_Type, Py_tp_getattro));
    if (type_getattro == nullptr) return false;
    if (missing_name == nullptr) missing_name = PyUnicode_InternFromString("__lineage_store_no_such_attribute__");
    if (missing_name == nullptr) return false;
    PyRef no_bases = new_tuple(0);
    if (!no_bases) return false;
    PyRef base = made_class("VersionProbeBase", no_bases.get());
    if (!base) return false;
    PyRef sample_bases = PyRef::steal(into_python([&] { return PyTuple_Pack(1, base.get()); }));
    if (!sample_bases) return false;
    PyRef sample = made_class("VersionProbe", sample_bases.get());
    return sample && tag_behaves(base.get(), sample.get());
}

}  // namespace

std::uint32_t class_version(PyTypeObject* cls) noexcept { return probed == Probed::Readable ? tag_of(cls) : 0; }

std::uint32_t class_version_given(PyTypeObject* cls) {
    if (probed == Probed::NotYet) {
        // Unreadable while probing: code the probe runs (a finaliser the
        // collector starts) may ask too, and must not probe again.
        probed = Probed::Unreadable;
        if (probe()) probed = Probed::Readable;
        PyErr_Clear();  // a failed probe only means that no class has a stamp
    }
    if (probed != Probed::Readable) return 0;
    if (tag_of(cls) == 0) look_up_missing_name(cls);
    return tag_of(cls);
}

}  // namespace lineage_store
