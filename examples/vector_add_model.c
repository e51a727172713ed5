/*
 * vector_add_model.c - a model of a small FPGA design for the simulated
 * machine: a vector adder. The application moves two vectors of 32-bit
 * numbers to card memory by DMA, writes their places and length to the
 * design's registers and starts it; the design writes A + B to a third
 * place in card memory, their sum to RESULT, and raises a notification.
 *
 * The registers are those of vector_add.h, in window 3 of vector_add.toml.
 *
 * Ringing the doorbell (VELTRA_Write of a notification number to offset 0 of
 * the doorbell window) also starts the design; the doorbell's own
 * notification then tells the application that it is done.
 *
 * The design's state lives in its registers, so that every process using the
 * machine sees the same design.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vsim_model.h>

#include "vector_add.h"

#define REGISTERS 3u /* the register window's index in vector_add.toml */

typedef struct Design {
    const VSIM_MODEL_HOST* host;
    VSIM_CARD* card;
} Design;

static uint32_t readRegister(Design* d, uint32_t offset) {
    uint32_t value = 0;
    d->host->readWindow(d->card, REGISTERS, offset, &value, sizeof value);
    return value;
}

static void writeRegister(Design* d, uint32_t offset, uint32_t value) {
    d->host->writeWindow(d->card, REGISTERS, offset, &value, sizeof value);
}

static uint64_t readAddress(Design* d, uint32_t offset) {
    return (uint64_t)readRegister(d, offset + 4) << 32 | readRegister(d, offset);
}

/* Adds the vectors in slices, so that any length needs little memory. */
static int run(Design* d) {
    enum { SLICE = 1024 };
    uint32_t a[SLICE], b[SLICE];
    const uint64_t placeA = readAddress(d, VADD_REG_A), placeB = readAddress(d, VADD_REG_B);
    const uint64_t placeC = readAddress(d, VADD_REG_C);
    const uint32_t count = readRegister(d, VADD_REG_COUNT);
    uint32_t sum = 0, done = 0;
    while (done < count) {
        const uint32_t n = count - done < SLICE ? count - done : SLICE;
        const uint64_t at = (uint64_t)done * 4;
        uint32_t i;
        if (d->host->readCardMemory(d->card, placeA + at, a, n * 4ull) != 0 ||
            d->host->readCardMemory(d->card, placeB + at, b, n * 4ull) != 0)
            return -1;
        for (i = 0; i < n; ++i) {
            a[i] += b[i];
            sum += a[i];
        }
        if (d->host->writeCardMemory(d->card, placeC + at, a, n * 4ull) != 0)
            return -1;
        done += n;
    }
    writeRegister(d, VADD_REG_RESULT, sum);
    return 0;
}

static void start(Design* d) {
    const int failed = run(d);
    writeRegister(d, VADD_REG_STATUS, failed ? VADD_STATUS_INVALID : VADD_STATUS_DONE);
    if (failed)
        d->host->trace(d->card, "vector_add: the vectors lie outside card memory");
}

static int configure(void* model, uint32_t fpga, const void* data, uint64_t length) {
    Design* d = (Design*)model;
    uint8_t clear[VADD_REGISTER_BYTES];
    (void)data;
    (void)length;
    if (fpga != 0)
        return 0;
    memset(clear, 0, sizeof clear);
    d->host->writeWindow(d->card, REGISTERS, 0, clear, sizeof clear);
    writeRegister(d, VADD_REG_ID, VADD_ID);
    d->host->trace(d->card, "vector_add: configured");
    return 0;
}

static void unconfigure(void* model, uint32_t fpga) {
    if (fpga == 0)
        writeRegister((Design*)model, VADD_REG_ID, 0);
}

/* A write of 1 to CONTROL starts the design; the write may come through
 * VELTRA_Write or through a mapping of the register window. */
static void windowWritten(void* model, uint32_t window, uint64_t offset, uint64_t length) {
    Design* d = (Design*)model;
    if (window != REGISTERS || offset > VADD_REG_CONTROL || offset + length <= VADD_REG_CONTROL ||
        readRegister(d, VADD_REG_ID) != VADD_ID || readRegister(d, VADD_REG_CONTROL) != 1)
        return;
    writeRegister(d, VADD_REG_CONTROL, 0);
    start(d);
    d->host->raiseNotification(d->card, readRegister(d, VADD_REG_NOTIFY));
}

static void doorbell(void* model, uint32_t value) {
    Design* d = (Design*)model;
    (void)value;
    if (readRegister(d, VADD_REG_ID) == VADD_ID)
        start(d);
}

static void dmaDone(void* model, uint32_t channel, int toCard, uint64_t local, uint64_t length) {
    Design* d = (Design*)model;
    const uint32_t counter = toCard ? VADD_REG_DMA_IN : VADD_REG_DMA_OUT;
    (void)channel;
    (void)local;
    if (readRegister(d, VADD_REG_ID) == VADD_ID)
        writeRegister(d, counter, readRegister(d, counter) + (uint32_t)length);
}

static void closeModel(void* model) {
    free(model);
}

static const VSIM_MODEL_CALLBACKS callbacks = {
    VSIM_MODEL_VERSION,
    sizeof(VSIM_MODEL_CALLBACKS),
    configure,
    unconfigure,
    windowWritten,
    NULL /* windowRead */,
    doorbell,
    dmaDone,
    NULL /* powerCycled */,
    closeModel,
};

VSIM_MODEL_EXPORT int vsimModelOpen(uint32_t version, const VSIM_MODEL_HOST* host, VSIM_CARD* card,
                                    uint32_t cardIndex, const char* argument,
                                    const VSIM_MODEL_CALLBACKS** out, void** model) {
    Design* d;
    (void)cardIndex;
    (void)argument;
    if (version != VSIM_MODEL_VERSION || host->size < sizeof(VSIM_MODEL_HOST))
        return 1;
    d = (Design*)malloc(sizeof *d);
    if (d == NULL)
        return 2;
    d->host = host;
    d->card = card;
    *out = &callbacks;
    *model = d;
    return 0;
}
