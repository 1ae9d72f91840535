// call_lookup.cpp: what the one lookup says of a call it could not find.
#include "store/call_lookup.h"

namespace lineage_store {

bool refuse_undecidable() {
    PyErr_SetString(PyExc_RuntimeError,
                    "the store kept changing while the arguments' __eq__ compared them with the calls whose hash they "
                    "share, so the call could not be found; nothing was stored");
    return false;
}

}  // namespace lineage_store
