// The extension quarnel_cluster._native: its entry point into the shared
// library.
#include "modules.hpp"

PyMODINIT_FUNC PyInit__native(void) { return quarnel::py::init_native(); }
