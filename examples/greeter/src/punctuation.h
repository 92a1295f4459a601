#pragma once

#define PUNCTUATION_API __attribute__((visibility("default")))

/* What goes before the index-th of count names in a list (from 0): ", "
 * for the first, " and " for the last of several, ", " between. */
PUNCTUATION_API char const* punctuation_before(int index, int count);
/* What ends a greeting. */
PUNCTUATION_API char const* punctuation_end(void);
