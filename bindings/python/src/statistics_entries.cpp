// Entry points of the substring statistics, which work on UTF-16 code units of `str` arguments.

#include "converters.hpp"
#include "entry_points.hpp"
#include "gil.hpp"
#include "results.hpp"
#include "suffix_array/stats.hpp"

namespace quarnel::python {
namespace {

PyObject* longest_common_substring(PyObject*, const BoundArgs& args) {
  const auto text1 = to_text(args, 0);
  const auto text2 = to_text(args, 1);
  return py_str(without_gil(
                    [&] { return core::suffix_array::longest_common_substring(text1, text2); }))
      .release();
}

PyObject* distinct_substring_count(PyObject*, const BoundArgs& args) {
  const auto text = to_text(args, 0);
  return py_int(without_gil([&] { return core::suffix_array::distinct_substring_count(text); }))
      .release();
}

}  // namespace

const FunctionDescriptor kLongestCommonSubstring =
    describe("longest_common_substring", {{"text1"}, {"text2"}},
             "Find the longest common substring of two strings.", longest_common_substring);
const FunctionDescriptor kDistinctSubstringCount = describe(
    "distinct_substring_count", {{"text"}},
    "Count the number of distinct substrings using the LCP array.", distinct_substring_count);

}  // namespace quarnel::python
