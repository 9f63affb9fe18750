/* Compiled as C: the public headers must not need C++. */
#include <le/le.h>
#include <le/le_a2x.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  if (strcmp(le_version(), LE_VERSION_STRING) != 0) {
    fprintf(stderr, "header %s, library %s\n", LE_VERSION_STRING, le_version());
    return 1;
  }
  if (le_last_error()[0] != '\0' || le_a2x_last_error()[0] != '\0') return 1;
  char out[8];
  return le_bundle_resolve_handle(NULL, out, sizeof out) == -1 ? 0 : 1;
}
