#include "punctuation.h"

char const* punctuation_before(int index, int count) {
  return index > 0 && index == count - 1 ? " and " : ", ";
}

char const* punctuation_end(void) { return "!"; }
