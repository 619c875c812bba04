// The FMIndex class.

#include "entry_points.hpp"

namespace quarnel::python {

int add_fm_index_type(PyObject*) { return 0; }

}  // namespace quarnel::python
