/*
 * vector_add_model.c - a model of a small FPGA design for the simulated
 * machine: a vector adder. The application moves two vectors of 32-bit
 * numbers to card memory by DMA, writes their places and length to the
 * design's registers and starts it; the design writes A + B to a third
 * place in card memory, their sum to RESULT, and raises a notification.
 *
 * Registers (a 4 KiB register window, index 3 in vector_add.toml):
 *   0x00 ID       0x56414444 ("VADD") while the FPGA is configured
 *   0x04 CONTROL  write 1: start
 *   0x08 STATUS   bit 0: done, bit 1: the places or the length are invalid
 *   0x0C NOTIFY   the notification raised when a start by CONTROL is done
 *   0x10 A        card-local address of A (64-bit: low word, high word)
 *   0x18 B        of B
 *   0x20 C        of the result vector
 *   0x28 COUNT    the number of 32-bit elements
 *   0x2C RESULT   the sum of the result's elements, modulo 2^32
 *   0x30 DMA_IN   bytes that DMA moved to the card since configuration
 *   0x34 DMA_OUT  bytes that DMA moved from the card
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

#define REGISTERS 3u
#define REG_ID 0x00u
#define REG_CONTROL 0x04u
#define REG_STATUS 0x08u
#define REG_NOTIFY 0x0Cu
#define REG_A 0x10u
#define REG_B 0x18u
#define REG_C 0x20u
#define REG_COUNT 0x28u
#define REG_RESULT 0x2Cu
#define REG_DMA_IN 0x30u
#define REG_DMA_OUT 0x34u
#define REGISTER_BYTES 0x38u

#define DESIGN_ID 0x56414444u
#define STATUS_DONE 0x1u
#define STATUS_INVALID 0x2u

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
    const uint64_t placeA = readAddress(d, REG_A), placeB = readAddress(d, REG_B);
    const uint64_t placeC = readAddress(d, REG_C);
    const uint32_t count = readRegister(d, REG_COUNT);
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
    writeRegister(d, REG_RESULT, sum);
    return 0;
}

static void start(Design* d) {
    const int failed = run(d);
    writeRegister(d, REG_STATUS, failed ? STATUS_INVALID : STATUS_DONE);
    if (failed)
        d->host->trace(d->card, "vector_add: the vectors lie outside card memory");
}

static int configure(void* model, uint32_t fpga, const void* data, uint64_t length) {
    Design* d = (Design*)model;
    uint8_t clear[REGISTER_BYTES];
    (void)data;
    (void)length;
    if (fpga != 0)
        return 0;
    memset(clear, 0, sizeof clear);
    d->host->writeWindow(d->card, REGISTERS, 0, clear, sizeof clear);
    writeRegister(d, REG_ID, DESIGN_ID);
    d->host->trace(d->card, "vector_add: configured");
    return 0;
}

static void unconfigure(void* model, uint32_t fpga) {
    if (fpga == 0)
        writeRegister((Design*)model, REG_ID, 0);
}

/* A write of 1 to CONTROL starts the design; the write may come through
 * VELTRA_Write or through a mapping of the register window. */
static void windowWritten(void* model, uint32_t window, uint64_t offset, uint64_t length) {
    Design* d = (Design*)model;
    if (window != REGISTERS || offset > REG_CONTROL || offset + length <= REG_CONTROL ||
        readRegister(d, REG_ID) != DESIGN_ID || readRegister(d, REG_CONTROL) != 1)
        return;
    writeRegister(d, REG_CONTROL, 0);
    start(d);
    d->host->raiseNotification(d->card, readRegister(d, REG_NOTIFY));
}

static void doorbell(void* model, uint32_t value) {
    Design* d = (Design*)model;
    (void)value;
    if (readRegister(d, REG_ID) == DESIGN_ID)
        start(d);
}

static void dmaDone(void* model, uint32_t channel, int toCard, uint64_t local, uint64_t length) {
    Design* d = (Design*)model;
    const uint32_t counter = toCard ? REG_DMA_IN : REG_DMA_OUT;
    (void)channel;
    (void)local;
    if (readRegister(d, REG_ID) == DESIGN_ID)
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
