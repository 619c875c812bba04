#pragma once
// The duplicate finder's shared types, by role: saturating arithmetic, parameters with their
// derived limits, and the phrase records. White space is in white_space.hpp, UTF-8 facts in
// utf.hpp.

#include "base/saturating.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
