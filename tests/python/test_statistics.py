"""Substring statistics through the module: str in, counts and str out.

Both are checked over UTF-16 code units against sets of substrings in tests/core/toolkit_test.cpp;
lone surrogates: test_frame.py.
"""

from quarnel import _native


def test_astral_characters_count_as_two_units_and_unpaired_halves_decode_as_replacement():
    assert _native.distinct_substring_count("\U0001F600") == 3
    assert _native.distinct_substring_count("") == 0
    assert _native.longest_common_substring("\U0001F600", "\U0001F601") == "\ufffd"
    assert _native.longest_common_substring("banana", "ananas") == "anana"
