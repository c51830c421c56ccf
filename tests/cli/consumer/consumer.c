/* A host application in C: calls the installed library and checks that it is the version the
 * build was configured for (EXPECTED_VERSION, from the package or pkg-config). */
#include <KSVHidApi.h>

#include <stdio.h>
#include <string.h>

int main(void) {
  int major = -1;
  int minor = -1;
  int build = -1;
  char version[40];
  if (GetKestrovanHIDversion(&major, &minor, &build) != 1) {
    fprintf(stderr, "consumer: GetKestrovanHIDversion failed\n");
    return 1;
  }
  snprintf(version, sizeof version, "%d.%d.%d", major, minor, build);
  printf("KSVHidApi %s, %d modules\n", version, GetKestrovanHIDnumber());
  if (strcmp(version, EXPECTED_VERSION) != 0) {
    fprintf(stderr, "consumer: library %s, package %s\n", version, EXPECTED_VERSION);
    return 1;
  }
  if (SetModuleMode(2) != 1 || SetModuleMode(4) != 0 || CloseKestrovanHID(NULL) != 0) {
    fprintf(stderr, "consumer: mode or close misbehaved\n");
    return 1;
  }
  return 0;
}
