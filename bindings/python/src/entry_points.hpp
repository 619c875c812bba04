#pragma once
// Descriptors of every module function, defined in one small file per group.

#include "binder.hpp"

namespace quarnel::python {

// Suffix-array toolkit.
extern const FunctionDescriptor kSuffixArrayFn;
extern const FunctionDescriptor kLcpArray;
extern const FunctionDescriptor kCount;
extern const FunctionDescriptor kLocate;
extern const FunctionDescriptor kSearchRange;
extern const FunctionDescriptor kBwt;
extern const FunctionDescriptor kInverseBwtFn;
extern const FunctionDescriptor kInverseSuffixArray;
extern const FunctionDescriptor kSaToBytes;
extern const FunctionDescriptor kSaFromBytes;

// Duplicate-phrase finder.
extern const FunctionDescriptor kFindDuplicates;
extern const FunctionDescriptor kFindDuplicatesNormalized;

// Substring statistics.
extern const FunctionDescriptor kLongestCommonSubstring;
extern const FunctionDescriptor kDistinctSubstringCount;

// The FMIndex class, added to the module after the functions; null with an error set.
PyObject* new_fm_index_type(PyObject* module);

}  // namespace quarnel::python
