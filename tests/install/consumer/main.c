#include <le/le.h>
#include <le/le_a2x.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  char out[16];
  if (strcmp(le_version(), LE_VERSION_STRING) != 0) return 1;
  if (le_bundle_resolve_handle(NULL, out, sizeof out) != -1) return 1;
  printf("consumer linked le_core %s\n", le_version());
  return 0;
}
