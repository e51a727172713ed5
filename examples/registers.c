/*
 * registers: maps the start of a window into the process and reads and
 * writes 32-bit registers through the mapping, then the same registers with
 * VELTRA_Read and VELTRA_Write, which need no mapping.
 *
 *   registers CARD [WINDOW]
 */
#include <veltra.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    const uint32_t index = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 0) : 0;
    const uint32_t window = argc > 2 ? (uint32_t)strtoul(argv[2], NULL, 0) : 0;
    VELTRA_HANDLE card;
    void* base = NULL;
    volatile uint32_t* registers;
    uint32_t value = 0, i;
    int failed = 0;
    VELTRA_STATUS status = VELTRA_Open(index, &card);
    if (status != VELTRA_SUCCESS) {
        fprintf(stderr, "card %u: %s\n", (unsigned)index, VELTRA_GetStatusStringA(status, 0));
        return 1;
    }
    /* One page from offset 0; the mapping stays valid until it is unmapped
     * or the handle is closed. */
    status = VELTRA_MapWindow(card, window, 0, 4096, &base);
    if (status != VELTRA_SUCCESS) {
        fprintf(stderr, "VELTRA_MapWindow: %s\n", VELTRA_GetStatusStringA(status, 0));
        VELTRA_Close(card);
        return 1;
    }
    registers = (volatile uint32_t*)base;

    /* Written through the mapping, read without it. */
    for (i = 0; i < 4; ++i)
        registers[i] = 0xC0DE0000u + i;
    for (i = 0; i < 4 && !failed; ++i) {
        status = VELTRA_Read(card, window, 0, i * 4, 4, &value);
        failed = status != VELTRA_SUCCESS || value != 0xC0DE0000u + i;
        printf("register 0x%02X: 0x%08X\n", (unsigned)(i * 4), (unsigned)value);
    }
    /* Written without the mapping, read through it. */
    value = 0x600DF00Du;
    status = VELTRA_Write(card, window, 0, 0x10, 4, &value);
    if (status == VELTRA_SUCCESS)
        printf("register 0x10 after VELTRA_Write: 0x%08X\n", (unsigned)registers[4]);
    failed = failed || status != VELTRA_SUCCESS || registers[4] != 0x600DF00Du;

    VELTRA_UnmapWindow(card, base);
    VELTRA_Close(card);
    if (failed)
        fprintf(stderr, "the registers did not read back as written\n");
    return failed ? 1 : 0;
}
