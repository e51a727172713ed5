/* Both public headers compile as plain C, and their records have the same
 * layouts there. */
#include "records.h"

int headersCompileAsC(void) {
    return (int)(VELTRA_SUCCESS + KESTA_SUCCESS);
}
