// The text layer that every extractor shares: the match record, folding,
// UTF-8 helpers and occurrence search. All positions and lengths count
// Unicode code points.
#pragma once

#include "text/fold.hpp"
#include "text/match.hpp"
#include "text/occurrences.hpp"
#include "text/utf8.hpp"
