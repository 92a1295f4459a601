#pragma once

#define GREETING_API __attribute__((visibility("default")))

/* The words that open a greeting. */
GREETING_API char const* greeting_opening(void);
