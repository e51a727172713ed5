/*
 * vsim_model.h - a model of the design in a simulated card's FPGA.
 *
 * The simulated machine runs an application's own logic against a model of
 * the FPGA design: a shared library (Linux) or DLL (Windows) that the
 * machine description names for a card:
 *
 *     [[card]]
 *     model = { library = "models/vector_add", argument = "any text",
 *               watch_interval_us = 1000 }
 *       [[card.window]]
 *       kind = "registers"
 *       size = 4096
 *       watch = true
 *
 * A relative path is taken from the description's folder; without an
 * extension the platform's (.so, .dll) is added. The library exports one C
 * function, vsimModelOpen (VSIM_MODEL_ENTRY), which the simulator calls once
 * per card and process when the machine is made. The model then hears of
 * the card's events through the callbacks it returns (VSIM_MODEL_CALLBACKS)
 * and acts on the card through the services it is given (VSIM_MODEL_HOST).
 *
 * What a model can rely on:
 * - Calls of one card's model never overlap: the simulator holds the card's
 *   model lock around each callback, whichever thread makes it. A model that
 *   serves one card needs no lock of its own.
 * - The callbacks run on the thread that caused the event: the
 *   application's thread inside its request for configure, unconfigure,
 *   register reads and writes and the doorbell (the request completes after
 *   the callback returns); a DMA channel's thread for dmaDone (after the
 *   data has moved, before the application hears that the transfer is
 *   over), or the application's thread inside its wait when it moves a
 *   blocking transfer itself;
 *   the card's watcher thread for changes found in a watched window; the
 *   caller's thread for powerCycled.
 * - Events of one kind arrive in the order they happened on that thread; a
 *   write through a mapping of a window marked `watch = true` reaches the
 *   model only when the watcher next looks (every watch_interval_us
 *   microseconds), as one windowWritten per changed range, widened to whole
 *   32-bit words, in address order. A process looks at a window from its
 *   first mapping of it on; a card-memory window cannot be watched. Bytes
 *   written by VELTRA_Write or by the model's own writeWindow are never
 *   reported as changes found by a watcher.
 * - The services may be called from inside any callback and from no other
 *   place. None of them calls back into the model. A callback must not
 *   block for long (it holds the application's request, or a DMA channel)
 *   and must never wait for another request of the application.
 * - Each process that uses a shared machine loads the model for itself, and
 *   exactly one model hears of each event; the others are told nothing. An
 *   event that a request causes (configure, unconfigure, register reads and
 *   writes, the doorbell, dmaDone, powerCycled) reaches the model of the
 *   process that made the request. A change found in a watched window
 *   reaches the model of one process that has the window mapped, the one the
 *   machine chose: the first to look at the window, and when that process
 *   ends (however it ends), the next of the others to look (within about
 *   50 ms, whatever other windows it watches). State that must
 *   be the same for every process belongs in the card's windows and memory,
 *   which the processes share; the model's own variables are per process.
 * - One model serves every FPGA of its card: configure and unconfigure name
 *   the FPGA.
 *
 * Plain C (C99) and C++.
 */
#ifndef VSIM_MODEL_H
#define VSIM_MODEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define VSIM_MODEL_EXPORT __declspec(dllexport)
#else
#define VSIM_MODEL_EXPORT __attribute__((visibility("default")))
#endif

/* The version of this interface; a model passes it back from its entry
 * point, and the simulator refuses a model of another version. */
#define VSIM_MODEL_VERSION 1u

/* The name of the entry point that a model library exports. */
#define VSIM_MODEL_ENTRY "vsimModelOpen"

/* The simulator's side: opaque, passed to every service. */
typedef struct VSIM_CARD VSIM_CARD;

/* What a model can do to its card. Each service returns 0 on success or -1
 * when its arguments name something the card does not have (a window, a
 * sensor, a range past the end); nothing is changed then. */
typedef struct VSIM_MODEL_HOST {
    uint32_t version; /* VSIM_MODEL_VERSION */
    uint32_t size;    /* sizeof(VSIM_MODEL_HOST) */

    /* Card memory, the memory that DMA reaches, by card-local address. */
    int (*readCardMemory)(VSIM_CARD* card, uint64_t local, void* data, uint64_t length);
    int (*writeCardMemory)(VSIM_CARD* card, uint64_t local, const void* data, uint64_t length);
    /* A window, by index and offset. A write here is the design's own: it
     * does not reach the model again, nor ring the doorbell. */
    int (*readWindow)(VSIM_CARD* card, uint32_t window, uint64_t offset, void* data,
                      uint64_t length);
    int (*writeWindow)(VSIM_CARD* card, uint32_t window, uint64_t offset, const void* data,
                       uint64_t length);
    /* Raises a card notification, as the doorbell does: waits for it end
     * and registered events are signalled, in every process. */
    int (*raiseNotification)(VSIM_CARD* card, uint32_t notification);
    /* Sets bits of device-status word `word` (0 configuration, 1 DMA,
     * 2 flash, 3 bus, 4 sensor), as VELTRA_GetDeviceStatus shows them. */
    int (*setDeviceStatus)(VSIM_CARD* card, uint32_t word, uint32_t bits);
    /* Makes sensor `sensor` read `value` (in its unit) from now on, until
     * the card is power-cycled. */
    int (*setSensor)(VSIM_CARD* card, uint32_t sensor, double value);
    /* Writes one line to the request trace (VELTRA_SIM_TRACE), marked as the
     * model's, when the trace is on. */
    void (*trace)(VSIM_CARD* card, const char* text);
} VSIM_MODEL_HOST;

/* What the model hears. Any callback may be NULL. `model` is the pointer the
 * entry point returned. */
typedef struct VSIM_MODEL_CALLBACKS {
    uint32_t version; /* VSIM_MODEL_VERSION */
    uint32_t size;    /* sizeof(VSIM_MODEL_CALLBACKS) */

    /* FPGA `fpga` is being configured from `length` bytes at `data` (valid
     * during the call), so one model can act differently per bitstream. A
     * nonzero result refuses the configuration: the FPGA stays
     * unconfigured and the application gets VELTRA_HARDWARE_ERROR. */
    int (*configure)(void* model, uint32_t fpga, const void* data, uint64_t length);
    /* FPGA `fpga` was unconfigured. */
    void (*unconfigure)(void* model, uint32_t fpga);
    /* VELTRA_Write (or a watched window's change found by the watcher) wrote
     * `length` bytes of window `window` at `offset`; the bytes are already
     * in the window. */
    void (*windowWritten)(void* model, uint32_t window, uint64_t offset, uint64_t length);
    /* VELTRA_Read is about to read `length` bytes of window `window` at
     * `offset`: the model may bring them up to date first. */
    void (*windowRead)(void* model, uint32_t window, uint64_t offset, uint64_t length);
    /* The doorbell was rung with `value` (the notification that it raises
     * right after this call). */
    void (*doorbell)(void* model, uint32_t value);
    /* A DMA transfer has moved its data: `toCard` is 1 for host to card,
     * 0 for card to host. */
    void (*dmaDone)(void* model, uint32_t channel, int toCard, uint64_t local, uint64_t length);
    /* The card was switched off and on: FPGAs unconfigured, memories clear. */
    void (*powerCycled)(void* model);
    /* The machine goes away: the last call; free the model here. */
    void (*close)(void* model);
} VSIM_MODEL_CALLBACKS;

/* The entry point: called once per card and process. `argument` is the
 * description's text (or ""). On success it sets *callbacks (a table that
 * must live until close) and *model, and returns 0. Any other result is an
 * error that the simulator reports (stderr and trace), after which the card
 * runs without a model and every configuration of its FPGAs fails with
 * VELTRA_HARDWARE_ERROR. */
typedef int (*VSIM_MODEL_OPEN)(uint32_t version, const VSIM_MODEL_HOST* host, VSIM_CARD* card,
                               uint32_t cardIndex, const char* argument,
                               const VSIM_MODEL_CALLBACKS** callbacks, void** model);

#ifdef __cplusplus
}
#endif

#endif /* VSIM_MODEL_H */
