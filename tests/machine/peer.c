/* Another process on the simulated machine: a plain program that knows only
 * the libraries (on Windows it is started through vsim-run). It does one
 * thing that its command line names and prints what it read.
 *
 *   peer write CARD WINDOW OFFSET VALUE    peer read CARD WINDOW OFFSET
 *   peer configure CARD                    peer configured CARD
 *   peer flash-write CARD OFFSET TEXT      peer flash-read CARD OFFSET LENGTH
 *   peer clock CARD INDEX                  peer hold-lock
 *   peer interrupt-flash CARD: takes the machine's lock in the middle of a
 *   change of the card's flash, and ends without giving it back
 *   peer trace-sequence                    peer exit CODE
 *   peer wait CARD NOTIFICATION: prints "waiting", then "raised" once the
 *   notification is raised (by anyone), or "not raised" after 10 s
 *   peer dma-loop CARD CHANNEL LOCAL ROUNDS: writes 64 KiB of a pattern of
 *   each round at LOCAL by DMA and reads it back; prints "ok ROUNDS" when
 *   every round read back what it wrote
 *   peer map-hold CARD WINDOW MILLISECONDS: maps the first 4 KiB of the
 *   window, writes 1 to the word at 0xF004 of window 0 a moment later,
 *   keeps the mapping for MILLISECONDS and ends at once, as a process that
 *   is killed does (nothing is closed)
 *
 * Exit code 0 on success, 1 with the status on stderr on failure. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kesta.h>
#include <veltra.h>

#if !defined(_WIN32)
#include <dlfcn.h>
#include <unistd.h>
#endif

static unsigned long long number(const char* text) {
    return strtoull(text, NULL, 0);
}

static int check(const char* what, VELTRA_STATUS status) {
    if (status == VELTRA_SUCCESS)
        return 0;
    fprintf(stderr, "%s: %s\n", what, VELTRA_GetStatusStringA(status, 1));
    return 1;
}

/* Rounds of a DMA write of a pattern and its read back, each checked. */
static int dmaLoop(VELTRA_HANDLE card, uint32_t channel, uint64_t local, unsigned rounds) {
    enum { kWords = 16384 };
    static uint32_t out[kWords], in[kWords];
    for (unsigned round = 0; round < rounds; ++round) {
        for (unsigned i = 0; i < kWords; ++i)
            out[i] = (round + 1) * 2654435761u ^ i;
        if (check("DMA write", VELTRA_WriteDMAEx(card, channel, 0, out, sizeof out, local)) ||
            check("DMA read", VELTRA_ReadDMAEx(card, channel, 0, in, sizeof in, local)))
            return 1;
        if (memcmp(in, out, sizeof out) != 0) {
            fprintf(stderr, "round %u read back other data\n", round);
            return 1;
        }
    }
    printf("ok %u\n", rounds);
    return 0;
}

/* A control of the simulator, found by its C name. */
static void (*simulatorControl(const char* name))(void) {
    void (*control)(void) = NULL;
#if defined(_WIN32)
    control = (void (*)(void))GetProcAddress(GetModuleHandleA("vsim.dll"), name);
#else
    *(void**)&control = dlsym(RTLD_DEFAULT, name);
#endif
    if (control == NULL)
        fprintf(stderr, "the simulator is not there\n");
    return control;
}

/* Takes the machine's lock in the simulator and ends without giving it back. */
static int holdLock(void) {
    void (*hold)(void) = simulatorControl("vsimHoldMachineLock");
    if (hold == NULL)
        return 1;
    hold();
    return 0;
}

/* Begins a change of the card's flash and ends without finishing it. */
static int interruptFlash(uint32_t card) {
    void (*interrupt)(uint32_t) = (void (*)(uint32_t))simulatorControl("vsimInterruptFlashChange");
    if (interrupt == NULL)
        return 1;
    interrupt(card);
    return 0;
}

static int traceSequence(void) {
    VELTRA_HANDLE card;
    KESTA_HANDLE bridge;
    VELTRA_CARD_INFO info;
    uint32_t value = 0x5A5A0001u;
    uint64_t id = 0;
    static uint8_t block[4096];
    if (check("open", VELTRA_Open(0, &card)))
        return 1;
    VELTRA_GetCardInfo(card, &info);
    VELTRA_Write(card, 0, 0, 0x10, 4, &value);
    VELTRA_Read(card, 0, 0, 0x10, 4, &value);
    VELTRA_Read(card, 0, 0, 0x100000, 4, &value); /* past the window's end */
    VELTRA_WriteDMA(card, 0, 0, block, sizeof block, 0x1000);
    VELTRA_Close(card);
    if (KESTA_Open(0, 0, 0, &bridge) != KESTA_SUCCESS)
        return 1;
    KESTA_GetUniqueId(bridge, &id);
    KESTA_Close(bridge);
    return 0;
}

static void endAtOnce(void) {
    fflush(stdout);
#if defined(_WIN32)
    TerminateProcess(GetCurrentProcess(), 0);
#else
    _exit(0);
#endif
}

/* Maps a window, says so in window 0, holds the mapping and ends without
 * closing anything. */
static int mapHold(VELTRA_HANDLE card, uint32_t window, unsigned milliseconds) {
    void* base = NULL;
    uint32_t mapped = 1;
    if (check("map", VELTRA_MapWindow(card, window, 0, 4096, &base)))
        return 1;
    Sleep(50); /* the design model's watcher has looked by now */
    if (check("write", VELTRA_Write(card, 0, 0, 0xF004, 4, &mapped)))
        return 1;
    Sleep(milliseconds);
    endAtOnce();
    return 0;
}

int main(int argc, char** argv) {
    VELTRA_HANDLE card;
    const char* command = argc > 1 ? argv[1] : "";
    if (strcmp(command, "exit") == 0 && argc == 3)
        return (int)number(argv[2]);
    if (strcmp(command, "interrupt-flash") == 0 && argc == 3) {
        if (check("open", VELTRA_Open(0, &card)))
            return 1;
        VELTRA_Close(card);
        return interruptFlash((uint32_t)strtoul(argv[2], NULL, 0));
    }
    if (strcmp(command, "hold-lock") == 0) {
        /* A request first, so that the machine is there. */
        if (check("open", VELTRA_Open(0, &card)))
            return 1;
        VELTRA_Close(card);
        return holdLock();
    }
    if (strcmp(command, "trace-sequence") == 0)
        return traceSequence();
    if (argc < 3) {
        fprintf(stderr, "usage: peer COMMAND CARD ...\n");
        return 2;
    }
    if (check("open", VELTRA_Open((uint32_t)number(argv[2]), &card)))
        return 1;
    int failed = 0;
    if (strcmp(command, "write") == 0 && argc == 6) {
        uint32_t value = (uint32_t)number(argv[5]);
        failed = check(
            "write", VELTRA_Write(card, (uint32_t)number(argv[3]), 0, number(argv[4]), 4, &value));
    } else if (strcmp(command, "read") == 0 && argc == 5) {
        uint32_t value = 0;
        failed = check("read",
                       VELTRA_Read(card, (uint32_t)number(argv[3]), 0, number(argv[4]), 4, &value));
        printf("0x%08X\n", (unsigned)value);
    } else if (strcmp(command, "configure") == 0) {
        static const uint8_t data[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66, 0, 0, 0, 0};
        failed = check("configure", VELTRA_ConfigureFromBuffer(card, 0, 0, data, sizeof data));
    } else if (strcmp(command, "configured") == 0) {
        VELTRA_FPGA_INFOA info;
        failed = check("FPGA information", VELTRA_GetFpgaInfoA(card, 0, &info));
        printf("%u\n", (unsigned)info.attribute3);
    } else if (strcmp(command, "flash-write") == 0 && argc == 5) {
        VELTRA_FLASH_BLOCK_INFO block;
        const uint64_t offset = number(argv[3]);
        failed =
            check("block", VELTRA_GetFlashBlockInfo(card, 0, offset, &block)) ||
            check("erase", VELTRA_EraseFlash(card, 0, 0, block.attribute1, block.attribute2)) ||
            check("flash write", VELTRA_WriteFlash(card, 0, 0, offset, strlen(argv[4]), argv[4]));
    } else if (strcmp(command, "flash-read") == 0 && argc == 5) {
        char text[256] = "";
        const uint64_t length = number(argv[4]);
        if (length < sizeof text)
            failed =
                check("flash read", VELTRA_ReadFlash(card, 0, 0, number(argv[3]), length, text));
        printf("%s\n", text);
    } else if (strcmp(command, "dma-loop") == 0 && argc == 6) {
        failed =
            dmaLoop(card, (uint32_t)number(argv[3]), number(argv[4]), (unsigned)number(argv[5]));
    } else if (strcmp(command, "wait") == 0 && argc == 4) {
        OVERLAPPED wait;
        memset(&wait, 0, sizeof wait);
        wait.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        failed =
            VELTRA_StartNotificationWait(card, &wait, (uint32_t)number(argv[3])) != VELTRA_PENDING;
        printf("waiting\n");
        fflush(stdout);
        if (!failed) {
            const int raised = WaitForSingleObject(wait.hEvent, 10000) == WAIT_OBJECT_0;
            printf("%s\n", raised ? "raised" : "not raised");
            if (!raised)
                VELTRA_Cancel(card);
            VELTRA_FinishNotificationWait(card, &wait, 1);
        }
        CloseHandle(wait.hEvent);
    } else if (strcmp(command, "map-hold") == 0 && argc == 5) {
        failed = mapHold(card, (uint32_t)number(argv[3]), (unsigned)number(argv[4]));
    } else if (strcmp(command, "clock") == 0 && argc == 4) {
        double frequency = 0;
        failed =
            check("clock", VELTRA_GetClockFrequency(card, (uint32_t)number(argv[3]), &frequency));
        printf("%.0f\n", frequency);
    } else {
        fprintf(stderr, "peer: unknown command %s\n", command);
        failed = 2;
    }
    VELTRA_Close(card);
    return failed;
}
