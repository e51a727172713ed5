/* The public header compiles as plain C, and its records have their fixed
 * layouts there too. */
#include "layout_checks.h"

int veltraHeaderCompilesAsC(void) {
    return (int)VELTRA_SUCCESS;
}
