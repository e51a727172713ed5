/* A plain C application built the way users build one:
 *     cc app.c $(pkg-config --cflags --libs veltra)
 * It runs against the simulated machine. */
#include <veltra.h>

#include <stdio.h>

int main(void) {
    VELTRA_HANDLE card = NULL;
    VELTRA_STATUS status = VELTRA_Open(0, &card);
    printf("VELTRA_Open(0): %s\n", VELTRA_GetStatusStringA(status, 1));
    if (status != VELTRA_SUCCESS)
        return 1;
    status = VELTRA_Close(card);
    printf("VELTRA_Close: %s\n", VELTRA_GetStatusStringA(status, 0));
    status = VELTRA_Open(2, &card);
    printf("VELTRA_Open(2): %s\n", VELTRA_GetStatusStringA(status, 1));
    return status == VELTRA_DEVICE_NOT_FOUND ? 0 : 1;
}
