/*
 * vector_add: drives the example design of vector_add_model.c on the
 * simulated machine of vector_add.toml, the way an application drives its
 * design on a real card: it configures the FPGA, moves two vectors to card
 * memory by DMA, programs the design's registers, starts it, waits for its
 * notification, and reads the result back by DMA. It does so twice: with
 * VELTRA_Write and the doorbell, then through a mapping of the registers.
 *
 *   vector_add [CARD]
 */
#include <veltra.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vector_add.h"

#define COUNT 65536u /* 32-bit elements of each vector */
#define BYTES (COUNT * 4u)
#define PLACE_A 0x000000u
#define PLACE_B 0x100000u
#define PLACE_C 0x200000u
#define DOORBELL 2u /* the windows of vector_add.toml */
#define REGISTERS 3u

static int failed(const char* what, VELTRA_STATUS status) {
    if (status == VELTRA_SUCCESS)
        return 0;
    fprintf(stderr, "%s: %s\n", what, VELTRA_GetStatusStringA(status, 0));
    return 1;
}

static VELTRA_STATUS writeRegister(VELTRA_HANDLE card, uint32_t offset, uint32_t value) {
    return VELTRA_Write(card, REGISTERS, 0, offset, sizeof value, &value);
}

static uint32_t readRegister(VELTRA_HANDLE card, uint32_t offset) {
    uint32_t value = 0;
    VELTRA_Read(card, REGISTERS, 0, offset, sizeof value, &value);
    return value;
}

/* Starts a wait for `notification` before the design is started, so that
 * the notification cannot come first. */
static VELTRA_STATUS startWait(VELTRA_HANDLE card, OVERLAPPED* wait, uint32_t notification) {
    VELTRA_STATUS status;
    memset(wait, 0, sizeof *wait);
    wait->hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    status = VELTRA_StartNotificationWait(card, wait, notification);
    return status == VELTRA_PENDING ? VELTRA_SUCCESS : status;
}

static VELTRA_STATUS finishWait(VELTRA_HANDLE card, OVERLAPPED* wait) {
    VELTRA_STATUS status;
    if (WaitForSingleObject(wait->hEvent, 10000) != WAIT_OBJECT_0)
        VELTRA_Cancel(card); /* the wait then finishes as cancelled */
    status = VELTRA_FinishNotificationWait(card, wait, 1);
    CloseHandle(wait->hEvent);
    return status;
}

/* Reads C back by DMA and compares it and the design's RESULT with what
 * the host computes. */
static int check(VELTRA_HANDLE card, const uint32_t* a, const uint32_t* b, uint32_t* c,
                 uint32_t result, const char* path) {
    uint32_t i, sum = 0;
    if (failed("VELTRA_ReadDMA", VELTRA_ReadDMA(card, 1, 0, c, BYTES, PLACE_C)))
        return 1;
    for (i = 0; i < COUNT; ++i) {
        if (c[i] != a[i] + b[i]) {
            fprintf(stderr, "%s: element %u is 0x%08x, not 0x%08x\n", path, (unsigned)i,
                    (unsigned)c[i], (unsigned)(a[i] + b[i]));
            return 1;
        }
        sum += c[i];
    }
    printf("%s: C = A + B, RESULT 0x%08x: %s\n", path, (unsigned)result,
           result == sum ? "right" : "WRONG");
    return result != sum;
}

int main(int argc, char** argv) {
    static const struct {
        uint32_t offset, value;
    } settings[] = {{VADD_REG_A, PLACE_A},  {VADD_REG_A + 4, 0},   {VADD_REG_B, PLACE_B},
                    {VADD_REG_B + 4, 0},    {VADD_REG_C, PLACE_C}, {VADD_REG_C + 4, 0},
                    {VADD_REG_COUNT, COUNT}};
    static const uint8_t image[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99,
                                    0x55, 0x66, 'v',  'a',  'd',  'd'};
    const uint32_t index = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 0) : 0;
    uint32_t* a = (uint32_t*)malloc(BYTES);
    uint32_t* b = (uint32_t*)malloc(BYTES);
    uint32_t* c = (uint32_t*)malloc(BYTES);
    volatile uint32_t* registers = NULL;
    VELTRA_HANDLE card;
    OVERLAPPED wait;
    uint32_t i, ring = 7;
    int bad = 1;
    if (a == NULL || b == NULL || c == NULL || failed("VELTRA_Open", VELTRA_Open(index, &card)))
        return 1;
    for (i = 0; i < COUNT; ++i) {
        a[i] = i * 2654435761u;
        b[i] = ~i ^ (i << 7);
    }

    /* A real application configures from its .bit file (configure_fpga.c);
     * the simulated card takes any data that holds the sync word. */
    if (failed("VELTRA_ConfigureFromBuffer",
               VELTRA_ConfigureFromBuffer(card, 0, 0, image, sizeof image)))
        goto done;
    if (readRegister(card, VADD_REG_ID) != VADD_ID) {
        fprintf(stderr, "the FPGA does not hold the vector adder\n");
        goto done;
    }
    if (failed("VELTRA_WriteDMA", VELTRA_WriteDMA(card, 0, 0, a, BYTES, PLACE_A)) ||
        failed("VELTRA_WriteDMA", VELTRA_WriteDMA(card, 0, 0, b, BYTES, PLACE_B)))
        goto done;

    /* 1. The registers by VELTRA_Write; the doorbell starts the design, and
     * its notification says that the design is done. */
    for (i = 0; i < sizeof settings / sizeof settings[0]; ++i)
        if (failed("writing a register",
                   writeRegister(card, settings[i].offset, settings[i].value)))
            goto done;
    if (failed("VELTRA_StartNotificationWait", startWait(card, &wait, ring)))
        goto done;
    if (failed("ringing the doorbell", VELTRA_Write(card, DOORBELL, 0, 0, sizeof ring, &ring)) ||
        failed("waiting for the design", finishWait(card, &wait)) ||
        check(card, a, b, c, readRegister(card, VADD_REG_RESULT), "VELTRA_Write and the doorbell"))
        goto done;

    /* 2. The same through a mapping of the registers: the design starts at
     * the write of 1 to CONTROL and raises the notification in NOTIFY. */
    for (i = 0; i < COUNT; ++i)
        b[i] = i;
    if (failed("VELTRA_WriteDMA", VELTRA_WriteDMA(card, 0, 0, b, BYTES, PLACE_B)) ||
        failed("VELTRA_MapWindow",
               VELTRA_MapWindow(card, REGISTERS, 0, 4096, (void**)&registers)) ||
        failed("VELTRA_StartNotificationWait", startWait(card, &wait, 8)))
        goto done;
    registers[VADD_REG_STATUS / 4] = 0;
    registers[VADD_REG_NOTIFY / 4] = 8;
    registers[VADD_REG_CONTROL / 4] = 1;
    if (failed("waiting for the design", finishWait(card, &wait)) ||
        (registers[VADD_REG_STATUS / 4] & VADD_STATUS_DONE) == 0 ||
        check(card, a, b, c, registers[VADD_REG_RESULT / 4], "a mapping of the registers"))
        goto done;
    printf("DMA to the card, as the design counted it: %u bytes\n",
           (unsigned)registers[VADD_REG_DMA_IN / 4]);
    bad = registers[VADD_REG_DMA_IN / 4] != 3 * BYTES;

done:
    if (registers != NULL)
        VELTRA_UnmapWindow(card, (void*)registers);
    VELTRA_Close(card);
    free(a);
    free(b);
    free(c);
    return bad ? 1 : 0;
}
