/* Resolves a bundle handle (directory or IMX container) and one member, and
 * prints the library version: the smallest host of le_core.
 *
 *   le_resolve_example <bundle> [member]
 */
#include <le/le.h>
#include <stdio.h>

int main(int argc, char** argv) {
  char dir[4096], member[4096];
  if (argc < 2) {
    fprintf(stderr, "usage: %s <bundle> [member]\n", argv[0]);
    return 2;
  }
  printf("le_core %s\n", le_version());
  if (le_bundle_resolve_handle(argv[1], dir, sizeof dir) != 1) {
    fprintf(stderr, "resolve failed: %s\n", le_last_error());
    return 1;
  }
  printf("bundle directory: %s\n", dir);
  if (argc > 2) {
    int rc = le_bundle_resolve_member(argv[1], argv[2], member, sizeof member);
    printf("%s -> %s (%s)\n", argv[2], rc >= 0 ? member : "?", rc == 1 ? "present" : "missing");
  }
  return 0;
}
