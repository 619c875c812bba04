// Entry points of the suffix-array toolkit: each builds the suffix array of its data afresh.

#include <algorithm>
#include <utility>
#include <vector>

#include "converters.hpp"
#include "entry_points.hpp"
#include "gil.hpp"
#include "numpy_array.hpp"
#include "results.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/lcp.hpp"
#include "suffix_array/search.hpp"
#include "suffix_array/transforms.hpp"

namespace quarnel::python {
namespace {

namespace sa = core::suffix_array;

// A new uint64 array of `size` elements, and a view of them for results written in place: no
// buffer of their own and no copy.
struct Output {
  PyRef array;
  std::span<std::uint64_t> values;
};

Output new_output(std::size_t size) {
  PyRef array = new_u64_array(size);
  std::uint64_t* const data = u64_data(array);
  return {std::move(array), {data, size}};
}

sa::SuffixArray auto_suffix_array(std::span<const std::uint8_t> data) {
  return sa::build_suffix_array_bytes_with_backend(data, sa::SuffixArrayBackend::Auto);
}

PyObject* suffix_array_fn(PyObject*, const BoundArgs& args) {
  const auto data = to_byte_text(args, 0);
  const auto backend_name = to_optional(args, 1, to_text);
  const auto backend =
      backend_name ? sa::parse_backend(*backend_name) : sa::SuffixArrayBackend::Auto;
  Output out = new_output(data.size());
  without_gil([&] {
    sa::build_suffix_array_into(data, backend, out.values, sa::default_sort_threads(data.size()));
  });
  return out.array.release();
}

// Texts below 4 GiB are only read through 32-bit suffix arrays: half the memory traffic.
bool fits_32_bits(std::span<const std::uint8_t> data) {
  return sa::fits_32_bit_entries(data.size());
}

// Written straight into the returned array.
PyObject* lcp_array(PyObject*, const BoundArgs& args) {
  const auto data = to_byte_text(args, 0);
  Output out = new_output(data.size());
  without_gil([&] {
    if (fits_32_bits(data)) {
      sa::lcp_kasai_into<std::uint8_t, std::uint32_t>(data, sa::build_sa32(data), out.values);
    } else {
      sa::lcp_kasai_into<std::uint8_t>(data, auto_suffix_array(data), out.values);
    }
  });
  return out.array.release();
}

// Builds the suffix array of `data` and hands the interval of `pattern` with the array's entries
// in it to `finish`.
template <class Finish>
PyObject* with_search(const BoundArgs& args, Finish&& finish) {
  const auto data = to_byte_text(args, 0);
  const auto pattern = to_byte_text(args, 1);
  const auto searched = [&](auto build) {
    return without_gil([&] {
      auto suffixes = build();
      const auto range = sa::sa_search_range(data, std::span(std::as_const(suffixes)), pattern);
      return std::make_pair(std::move(suffixes), range);
    });
  };
  if (fits_32_bits(data)) {
    const auto [suffixes, range] = searched([&] { return sa::build_sa32(data); });
    return finish(range, std::span<const std::uint32_t>(suffixes));
  }
  const auto [suffixes, range] = searched([&] { return auto_suffix_array(data); });
  return finish(range, std::span<const std::uint64_t>(suffixes));
}

PyObject* count(PyObject*, const BoundArgs& args) {
  return with_search(
      args, [](sa::SaInterval range, auto) { return py_int(range.hi - range.lo).release(); });
}

PyObject* locate(PyObject*, const BoundArgs& args) {
  return with_search(args, [](sa::SaInterval range, auto suffixes) {
    std::vector<std::uint64_t> positions(suffixes.begin() + range.lo, suffixes.begin() + range.hi);
    std::sort(positions.begin(), positions.end());
    return to_u64_array(positions).release();
  });
}

PyObject* search_range(PyObject*, const BoundArgs& args) {
  return with_search(args, [](sa::SaInterval range, auto) {
    return py_pair(py_int(range.lo), py_int(range.hi)).release();
  });
}

PyObject* bwt(PyObject*, const BoundArgs& args) {
  const auto data = to_byte_text(args, 0);
  const auto transform = without_gil([&] { return sa::bwt_of_text(data); });
  return py_pair(py_bytes(transform.last_column), py_int(transform.primary)).release();
}

PyObject* inverse_bwt_fn(PyObject*, const BoundArgs& args) {
  const auto data = to_byte_text(args, 0);
  const auto primary = to_unsigned_index(args, 1);
  return py_bytes(without_gil([&] { return sa::inverse_bwt(data, primary); })).release();
}

PyObject* inverse_suffix_array(PyObject*, const BoundArgs& args) {
  const auto data = to_byte_text(args, 0);
  Output out = new_output(data.size());
  without_gil([&] {
    if (fits_32_bits(data)) {
      sa::inverse_of_permutation_into(std::span<const std::uint32_t>(sa::build_sa32(data)),
                                      out.values);
    } else {
      sa::inverse_of_permutation_into(std::span<const std::uint64_t>(auto_suffix_array(data)),
                                      out.values);
    }
  });
  return out.array.release();
}

PyObject* sa_to_bytes(PyObject*, const BoundArgs& args) {
  const auto data = to_byte_text(args, 0);
  return py_bytes(without_gil([&] { return sa::sa_to_bytes(auto_suffix_array(data)); })).release();
}

PyObject* sa_from_bytes(PyObject*, const BoundArgs& args) {
  const auto data = to_byte_text(args, 0);
  Output out = new_output(data.size() / 8);
  without_gil([&] { sa::sa_from_bytes_into(data, out.values); });
  return out.array.release();
}

}  // namespace

const FunctionDescriptor kSuffixArrayFn =
    describe("suffix_array_fn", {{"data"}, {"backend", "None"}},
             "Build a suffix array from raw bytes.", suffix_array_fn);
const FunctionDescriptor kLcpArray =
    describe("lcp_array", {{"data"}}, "Build an LCP array from raw bytes.", lcp_array);
const FunctionDescriptor kCount =
    describe("count", {{"data"}, {"pattern"}}, "Count occurrences of a pattern in data.", count);
const FunctionDescriptor kLocate = describe("locate", {{"data"}, {"pattern"}},
                                            "Locate all positions of a pattern in data.", locate);
const FunctionDescriptor kSearchRange =
    describe("search_range", {{"data"}, {"pattern"}},
             "Return the suffix array range (lo, hi) for a pattern.", search_range);
const FunctionDescriptor kBwt =
    describe("bwt", {{"data"}},
             "Compute the Burrows-Wheeler Transform, returning (bwt_bytes, primary_index).", bwt);
const FunctionDescriptor kInverseBwtFn =
    describe("inverse_bwt_fn", {{"bwt_data"}, {"primary_index"}}, "Reconstruct data from its BWT.",
             inverse_bwt_fn);
const FunctionDescriptor kInverseSuffixArray = describe(
    "inverse_suffix_array", {{"data"}}, "Build the inverse suffix array.", inverse_suffix_array);
const FunctionDescriptor kSaToBytes =
    describe("sa_to_bytes", {{"data"}}, "Serialize a suffix array to bytes (little-endian u64).",
             sa_to_bytes);
const FunctionDescriptor kSaFromBytes =
    describe("sa_from_bytes", {{"data"}},
             "Deserialize a suffix array from bytes (little-endian u64).", sa_from_bytes);

}  // namespace quarnel::python
