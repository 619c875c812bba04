// quarnel._corpus: documents analysed together (phrases and passages), for the Python layer
// quarnel.corpus, and the command line's report rows.

#include "corpus_module.hpp"

#include "module_table.hpp"

namespace quarnel::python {

const ModuleTable kCorpusTable = {
    {
        module_function<kFindPhrases>(),
        module_function<kFindPassages>(),
        module_function<kFormatGroups>(),
        module_function<kHtmlStylesheet>(),
    },
    {},
};

}  // namespace quarnel::python
