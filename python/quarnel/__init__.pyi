from quarnel._native import (
    FMIndex as FMIndex,
    bwt as bwt,
    count as count,
    distinct_substring_count as distinct_substring_count,
    find_duplicates as find_duplicates,
    find_duplicates_normalized as find_duplicates_normalized,
    inverse_bwt_fn as inverse_bwt_fn,
    inverse_suffix_array as inverse_suffix_array,
    lcp_array as lcp_array,
    locate as locate,
    longest_common_substring as longest_common_substring,
    sa_from_bytes as sa_from_bytes,
    sa_to_bytes as sa_to_bytes,
    search_range as search_range,
    suffix_array_fn as suffix_array_fn,
)

from quarnel._index import SuffixArray as SuffixArray

__all__ = [
    "suffix_array_fn",
    "lcp_array",
    "count",
    "locate",
    "search_range",
    "find_duplicates",
    "find_duplicates_normalized",
    "bwt",
    "inverse_bwt_fn",
    "longest_common_substring",
    "distinct_substring_count",
    "inverse_suffix_array",
    "sa_to_bytes",
    "sa_from_bytes",
    "FMIndex",
    "SuffixArray",
    "find_phrases",
    "find_passages",
    "PhraseMatches",
    "PassageMatches",
    "dedup",
    "Cleaned",
    "Spans",
]
__version__: str

from quarnel.corpus import (
    PassageMatches as PassageMatches,
    PhraseMatches as PhraseMatches,
    find_passages as find_passages,
    find_phrases as find_phrases,
)
from quarnel.cleaning import (
    Cleaned as Cleaned,
    Spans as Spans,
    dedup as dedup,
)
