// quarnel._index: the SuffixArray class.

#include "index_module.hpp"

#include "module_table.hpp"

namespace quarnel::python {

const ModuleTable kIndexTable = {{}, {{"SuffixArray", new_suffix_array_type}}};

}  // namespace quarnel::python
