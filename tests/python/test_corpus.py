"""Documents analysed together: quarnel.find_phrases and quarnel.find_passages."""

import random
from itertools import accumulate

import pytest

import quarnel
from conftest import line_column, normalised
from quarnel import find_passages, find_phrases

VOCABULARIES = {
    "ascii": ["alpha", "beta", "gamma", "delta", "epsilon", "zeta"],
    "astral": ["alpha", "b\U0001d49ceta", "gamma", "d\u00e9lta", "\U0001f600x", "zeta"],
}


def random_text(rng, vocabulary, words, gaps=(" ", " ", " ", ", ", ". ", "\n")):
    return "".join(rng.choice(vocabulary) + rng.choice(gaps) for _ in range(words)).strip()


def check_places(result, docs):
    """Every occurrence lies inside its document, and its line and column agree with it."""
    for o in (o for g in result for o in g.occurrences):
        doc = docs[o.document]
        assert 0 <= o.start < o.end <= len(doc)
        assert (o.line, o.column) == line_column(doc, o.start)
        assert (o.end_line, o.end_column) == line_column(doc, o.end - 1)


# --- one document is find_duplicates ---------------------------------------------------------
@pytest.mark.parametrize("vocabulary", sorted(VOCABULARIES))
@pytest.mark.parametrize("mode", ["default", "blocks", "ignore_case", "collapse"])
@pytest.mark.parametrize("seed", range(6))
def test_one_document_gives_the_phrases_of_find_duplicates(vocabulary, mode, seed):
    rng = random.Random(seed)
    words = VOCABULARIES[vocabulary] + [w.upper() for w in VOCABULARIES[vocabulary][:2]]
    text = random_text(rng, words, 300, gaps=(" ", "  ", ", ", ". ", "\n", " \u00a0"))
    text = text + " " + text[: len(text) // 2]  # a long copy, for blocks
    params = dict(min_words=3, min_chars=5, max_words=60)
    flags = dict(ignore_case=mode == "ignore_case", collapse_whitespace=mode == "collapse")
    if mode in ("default", "blocks"):
        expected = quarnel.find_duplicates(text, enable_block_detection=mode == "blocks", **params)
        got = find_phrases(text, blocks=mode == "blocks", **params)
    else:
        expected = quarnel.find_duplicates_normalized(text, *flags.values(), **params)
        got = find_phrases(text, **flags, **params)
    # str index of every UTF-16 offset of the text
    units = accumulate((2 if ord(c) > 0xFFFF else 1 for c in text), initial=0)
    to_index = {u: i for i, u in enumerate(units)}
    assert len(got) == len(expected) > 0
    for k, (g, e) in enumerate(zip(got, expected)):
        assert (g.text, g.count, g.words) == (e["phrase"], e["count"], e["number_of_words"])
        assert got.chars[k] == e["string_length"]
        for o, eo in zip(g.occurrences, e["occurrences"]):
            assert o.start == to_index[eo["start"]]
            # The finder's end is start + phrase bytes; where white space was rewritten the real
            # occurrence is longer, and the corpus reports the real end.
            real = normalised(text[o.start : o.end]).lower() == normalised(g.text).lower()
            assert o.end == to_index.get(eo["end"]) or real
    check_places(got, [text])


# --- barriers (examples: tests/core/documents_test.cpp, passages_test.cpp) --------------------
@pytest.mark.parametrize("seed", range(8))
def test_documents_that_share_nothing_give_nothing_across(seed):
    rng = random.Random(seed)
    docs = [random_text(rng, [f"{c}{i}" for i in range(3)], 200) for c in "pqr"]
    result = find_phrases(docs, min_words=2, min_chars=3)
    assert all(len({o.document for o in g.occurrences}) == 1 for g in result)
    alone = [g.text for doc in docs for g in find_phrases(doc, min_words=2, min_chars=3)]
    assert sorted(g.text for g in result) == sorted(alone)


@pytest.mark.parametrize("seed", range(10))
def test_corpus_phrases_lie_inside_their_documents_and_read_as_their_text(seed):
    rng = random.Random(seed)
    docs = [random_text(rng, VOCABULARIES["astral"], rng.randint(0, 80))
            for _ in range(rng.randint(1, 6))]  # fmt: skip
    result = find_phrases(docs, min_words=2, min_chars=4, collapse_whitespace=seed % 2 == 1)
    check_places(result, docs)
    for g in result:
        for o in g.occurrences:
            assert normalised(docs[o.document][o.start : o.end]) == normalised(g.text)


# --- passages (their oracle: tests/core/passages_test.cpp) -----------------------------------
BODY = "one two three four five six seven eight nine ten"  # 48 characters


# Offsets index the documents after normalisation, and past the removed ranges they leave out.
@pytest.mark.parametrize("docs, options, spans", [
    (["Alpha  beta\tgamma delta epsilon zeta eta theta", "ALPHA beta gamma   delta epsilon zeta eta theta"],
     dict(ignore_case=True, collapse_whitespace=True), None),
    ([f"<b>{BODY}</b>", f"{BODY[:13]}<i>{BODY[13:]}</i>"], dict(removed=[[(0, 3), (51, 55)], [(13, 16), (51, 55)]]),
     [BODY, f"{BODY[:13]}<i>{BODY[13:]}"]),
])  # fmt: skip
def test_passages_map_back_to_the_documents(docs, options, spans):
    assert len(find_passages(docs)) == 0
    (passage,) = find_passages(docs, **options)
    assert [docs[o.document][o.start : o.end] for o in passage.occurrences] == (spans or docs)


# --- the result ------------------------------------------------------------------------------
def test_columns_agree_with_the_records_and_the_word_counts():
    rng = random.Random(5)
    docs = {f"d{k}": random_text(rng, VOCABULARIES["astral"], 120) for k in range(4)}
    result = find_passages(docs, min_words=3)
    assert result.names == tuple(docs)
    assert result.first[-1] == len(result.start) == len(result.group)
    for k, (g, d, s, e) in enumerate(zip(result.group, result.document, result.start, result.end)):
        o = result[int(g)].occurrences[k - int(result.first[g])]
        assert (o.document, o.start, o.end) == (d, s, e)
    # The per-document counts against the text itself: tests/core/corpus_test.cpp.
    assert list(result.document_chars) == [len(t) for t in docs.values()]
    dicts = result.to_dicts()
    assert [d["text"] for d in dicts] == result.texts
    assert dicts[0]["occurrences"][0]["name"] in docs


@pytest.mark.parametrize("documents, names", [
    ("just one text", (None,)),
    (["a", "b"], (None, None)),
    ([("x", "a"), ("y", "b")], ("x", "y")),
    ({"x": "a", "y": "b"}, ("x", "y")),
    ((t for t in ["a", "b", "c"]), (None, None, None)),
    ([], ()),
])  # fmt: skip
def test_every_form_of_documents_is_accepted(documents, names):
    assert find_passages(documents).names == names
    assert find_phrases([]).texts == []


@pytest.mark.parametrize("call, error, words", [
    (lambda: find_phrases([b"bytes"]), TypeError, "documents"),
    (lambda: find_phrases(["ok", 3]), TypeError, "documents"),
    (lambda: find_phrases(42), TypeError, "documents"),
    (lambda: find_passages(["\ud800 lone"]), ValueError, "surrogate"),
    (lambda: find_phrases("t", min_words=-1), ValueError, "min_words"),
    (lambda: find_phrases("t", max_words=2**40), ValueError, "max_words"),
    (lambda: find_phrases("t", min_words=9, max_words=3), ValueError, "max_words"),
    (lambda: find_phrases("t", min_chars="9"), TypeError, "min_chars"),
    (lambda: find_passages("t", min_words=0), ValueError, "min_words"),
    (lambda: find_passages("t", ignore_case=1), TypeError, "ignore_case"),
    (lambda: find_passages(["ab"], removed=[[(1, 5)]]), ValueError, "removed"),
    (lambda: find_passages(["ab"], removed=[]), ValueError, "removed"),
    (lambda: find_passages("t", sort="size"), ValueError, "sort"),
    (lambda: find_phrases("t", top=-1), ValueError, "top"),
    (lambda: find_phrases("t", max_places=1.5), TypeError, "max_places"),
])  # fmt: skip
def test_bad_arguments_name_the_parameter(call, error, words):
    with pytest.raises(error, match=words):
        call()


@pytest.mark.parametrize("sort", [None, "words", "count", "share", "files"])
@pytest.mark.parametrize("find", [find_passages, find_phrases])
def test_limits_given_to_the_search_keep_what_select_keeps(find, sort):
    rng = random.Random(5)
    docs = [random_text(rng, VOCABULARIES["astral"][:3], rng.randrange(5, 60)) for _ in range(8)]
    whole = find(docs, min_words=2)
    for limits in ({"top": 3}, {"max_places": 1}, {"min_count": 3, "top": 0},
                   {"min_count": 3, "max_places": 2, "top": 5}):  # fmt: skip
        got = find(docs, min_words=2, sort=sort, **limits)
        want = whole.select(sort=sort, **limits)
        assert (got.to_dicts(), got.counts.tolist()) == (want.to_dicts(), want.counts.tolist())
        assert (got.found_groups, got.found_places) == (len(whole), len(whole.start))
        assert got.covered_words.tolist() == whole.covered_words.tolist()


@pytest.mark.parametrize("method, module", [("to_pandas", "pandas"), ("to_arrow", "pyarrow")])
def test_optional_table_exports_say_what_is_missing(method, module):
    result = find_passages(["a b c d e f g h i", "a b c d e f g h i"])
    try:
        __import__(module)
    except ImportError:
        with pytest.raises(ImportError, match=module):
            getattr(result, method)()
    else:
        assert len(getattr(result, method)()) == 2


def test_a_long_run_of_one_word_is_refused_rather_than_filling_memory():
    # Every length of the run is a passage: about k * k / 2 places for k words.
    with pytest.raises(ValueError, match="min_words"):
        find_passages(["intro " + "0 " * 20000 + "outro"])
    assert len(find_passages(["intro " + "0 " * 300 + "outro"])) == 300 - 8
