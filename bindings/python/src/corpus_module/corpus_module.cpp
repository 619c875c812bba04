// quarnel._corpus: documents analysed together (phrases and passages), for the Python layer
// quarnel.corpus, corpus cleaning for quarnel.cleaning and quarnel.dask, and the command line's
// report rows.

#include "corpus_module.hpp"

#include "module_table.hpp"

namespace quarnel::python {

const ModuleTable kCorpusTable = {
    {
        module_function<kFindPhrases>(),
        module_function<kFindPassages>(),
        module_function<kFormatGroups>(),
        module_function<kHtmlStylesheet>(),
        module_function<kDedup>(),
        module_function<kWindowFingerprints>(),
        module_function<kCutMarked>(),
    },
    {},
};

}  // namespace quarnel::python
