#include "greeting.h"

char const* greeting_opening(void) { return "Hello"; }
