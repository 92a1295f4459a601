/* One shared library of a stand-in application. Each library is this file
 * built with its own STANDIN_LINE_FUNCTION, STANDIN_LIBRARY and STANDIN_ROLE,
 * so the entry executable prints its four lines only when the dynamic loader
 * has found all four libraries. */

__attribute__((visibility("default"))) char const* STANDIN_LINE_FUNCTION(void) {
  return STANDIN_LIBRARY ": " STANDIN_ROLE;
}
