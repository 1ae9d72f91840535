// Definitions of the few libstdc++ helpers that our compiler's headers call
// but that older libstdc++.so releases lack, linked into the module for
// release wheels (the way manylinux toolchains link their "nonshared" part of
// libstdc++). The module then runs against the libstdc++ of older
// distributions while everything else still comes from the system's shared
// libstdc++. The symbols stay local to the module (--exclude-libs), so they
// never stand in for the real ones in other libraries.
//
// Only what the module uses is here: `auditwheel show` lists any newer
// GLIBCXX_/CXXABI_ symbol the code starts to need.
#include <new>

namespace std {

// GLIBCXX_3.4.29 (GCC 11): thrown by std::allocator<T>::allocate when the
// element count overflows the byte count.
void __throw_bad_array_new_length() { throw bad_array_new_length(); }

}  // namespace std
