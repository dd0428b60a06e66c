// Kept for the TIFF unit test's include; the corpus helpers are in corpus.h.
#pragma once

#include "support/corpus.h"
