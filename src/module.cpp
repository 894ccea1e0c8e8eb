// The extension quarnel: its entry point into the shared library.
#include "modules.hpp"

PyMODINIT_FUNC PyInit_quarnel(void) { return quarnel::py::init_quarnel(); }
