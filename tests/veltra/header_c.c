/* The public header compiles as plain C99, and its records have the layout
 * the library was built with. */
#include <veltra.h>

#include <stddef.h>

_Static_assert(sizeof(VELTRA_STATUS) == 4, "VELTRA_STATUS is 32 bits");
_Static_assert(sizeof(VELTRA_HANDLE) == 8, "VELTRA_HANDLE is a 64-bit handle");

int veltraHeaderCompilesAsC(void) {
    return VELTRA_SUCCESS;
}
