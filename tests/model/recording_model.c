/*
 * A design model for the tests: it writes a line for each event into
 * window 0 of its card (a log that the test reads with VELTRA_Read), and
 * acts as its argument says:
 *   "fail"     the entry point fails with 5
 *   "old"      the entry point hands back callbacks of another version
 *   otherwise  it records; a configuration whose data holds "refuse" is
 *              refused; a doorbell ring of 77 sets sensor 0 to 99.5 and bit
 *              1 of the sensor status word, and raises notification 78.
 * A write of window 3 at offset 0 (its start register) is a start: the
 * model counts its starts in the word at 0xF000 of window 0, which every
 * process that uses the machine shares.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vsim_model.h>

typedef struct Recorder {
    const VSIM_MODEL_HOST* host;
    VSIM_CARD* card;
    uint32_t at; /* where the next line of the log goes */
} Recorder;

static void record(Recorder* r, const char* line) {
    const size_t n = strlen(line);
    if (r->host->writeWindow(r->card, 0, r->at, line, n) == 0)
        r->at += (uint32_t)n;
}

static int configure(void* model, uint32_t fpga, const void* data, uint64_t length) {
    char line[64];
    const char* bytes = (const char*)data;
    uint64_t i;
    snprintf(line, sizeof line, "configure %u %u\n", (unsigned)fpga, (unsigned)length);
    record((Recorder*)model, line);
    for (i = 0; i + 6 <= length; ++i)
        if (memcmp(bytes + i, "refuse", 6) == 0)
            return 1;
    return 0;
}

static void unconfigure(void* model, uint32_t fpga) {
    char line[64];
    snprintf(line, sizeof line, "unconfigure %u\n", (unsigned)fpga);
    record((Recorder*)model, line);
}

#define STARTS_AT 0xF000u

static void countStart(Recorder* r) {
    uint32_t starts = 0;
    r->host->readWindow(r->card, 0, STARTS_AT, &starts, sizeof starts);
    ++starts;
    r->host->writeWindow(r->card, 0, STARTS_AT, &starts, sizeof starts);
}

static void windowWritten(void* model, uint32_t window, uint64_t offset, uint64_t length) {
    char line[64];
    if (window == 0)
        return; /* the log itself */
    if (window == 3 && offset == 0)
        countStart((Recorder*)model);
    snprintf(line, sizeof line, "write %u 0x%x %u\n", (unsigned)window, (unsigned)offset,
             (unsigned)length);
    record((Recorder*)model, line);
}

static void windowRead(void* model, uint32_t window, uint64_t offset, uint64_t length) {
    Recorder* r = (Recorder*)model;
    char line[64];
    uint32_t value = 0x600D;
    if (window == 0)
        return;
    /* A register the design computes when it is read. */
    r->host->writeWindow(r->card, window, offset, &value, sizeof value);
    snprintf(line, sizeof line, "read %u 0x%x %u\n", (unsigned)window, (unsigned)offset,
             (unsigned)length);
    record(r, line);
}

static void doorbell(void* model, uint32_t value) {
    Recorder* r = (Recorder*)model;
    char line[64];
    snprintf(line, sizeof line, "doorbell %u\n", (unsigned)value);
    record(r, line);
    if (value == 77) {
        r->host->setSensor(r->card, 0, 99.5);
        r->host->setDeviceStatus(r->card, 4, 0x2);
        r->host->raiseNotification(r->card, 78);
        r->host->trace(r->card, "the alarm went off");
    }
}

static void dmaDone(void* model, uint32_t channel, int toCard, uint64_t local, uint64_t length) {
    char line[64];
    snprintf(line, sizeof line, "dma %u %s 0x%x %u\n", (unsigned)channel, toCard ? "in" : "out",
             (unsigned)local, (unsigned)length);
    record((Recorder*)model, line);
}

static void powerCycled(void* model) {
    Recorder* r = (Recorder*)model;
    r->at = 0; /* the window was cleared */
    record(r, "power\n");
}

static void closeModel(void* model) {
    free(model);
}

static const VSIM_MODEL_CALLBACKS callbacks = {
    VSIM_MODEL_VERSION, sizeof(VSIM_MODEL_CALLBACKS),
    configure,          unconfigure,
    windowWritten,      windowRead,
    doorbell,           dmaDone,
    powerCycled,        closeModel,
};

static const VSIM_MODEL_CALLBACKS oldCallbacks = {
    VSIM_MODEL_VERSION + 1,
    sizeof(VSIM_MODEL_CALLBACKS),
    NULL,
    NULL,
    NULL,
    NULL,
    NULL,
    NULL,
    NULL,
    NULL,
};

VSIM_MODEL_EXPORT int vsimModelOpen(uint32_t version, const VSIM_MODEL_HOST* host, VSIM_CARD* card,
                                    uint32_t cardIndex, const char* argument,
                                    const VSIM_MODEL_CALLBACKS** out, void** model) {
    Recorder* r;
    (void)cardIndex;
    if (strcmp(argument, "fail") == 0)
        return 5;
    if (strcmp(argument, "old") == 0) {
        *out = &oldCallbacks;
        return 0;
    }
    if (version != VSIM_MODEL_VERSION)
        return 1;
    r = (Recorder*)calloc(1, sizeof *r);
    if (r == NULL)
        return 2;
    r->host = host;
    r->card = card;
    *out = &callbacks;
    *model = r;
    return 0;
}
