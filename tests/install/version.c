/* Prints the run-time version of the installed library; fails when it is not
 * the version of the installed headers. The install check compares the line
 * with pkg-config's version of the package. */
#include <kestrix/version.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    const char *runtime = kestrix_version();
    char fromNumbers[64];
    sprintf(fromNumbers, "%d.%d.%d", KESTRIX_VERSION_MAJOR, KESTRIX_VERSION_MINOR, KESTRIX_VERSION_PATCH);
    if (runtime == NULL || strcmp(runtime, KESTRIX_VERSION_STRING) != 0
        || strcmp(fromNumbers, KESTRIX_VERSION_STRING) != 0) {
        fprintf(stderr, "library %s, headers %s (%s)\n", runtime ? runtime : "(null)",
                KESTRIX_VERSION_STRING, fromNumbers);
        return 1;
    }
    printf("%s\n", runtime);
    return 0;
}
