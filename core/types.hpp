#pragma once
// The duplicate finder's shared types, by role: saturating arithmetic, parameters with their
// derived limits, and the phrase records. White space is in white_space.hpp, UTF-8 facts in
// utf.hpp.

#include "finder_params.hpp"
#include "phrase_records.hpp"
#include "saturating.hpp"
