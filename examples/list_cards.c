/*
 * list_cards: opens every card in turn and prints what the library tells
 * about it. The first example to build against the package.
 *
 *   list_cards
 */
#include <veltra.h>

#include <stdio.h>

/* Prints a failed call's status by name and message. */
static void report(const char* what, VELTRA_STATUS status) {
    fprintf(stderr, "%s: %s (%s)\n", what, VELTRA_GetStatusStringA(status, 1),
            VELTRA_GetStatusStringA(status, 0));
}

int main(void) {
    uint32_t index;
    for (index = 0;; ++index) {
        VELTRA_HANDLE card;
        VELTRA_VERSION_INFO version;
        VELTRA_CARD_INFO_EX info;
        VELTRA_FPGA_INFOA fpga;
        VELTRA_FLASH_INFOA flash;
        uint32_t window;
        VELTRA_STATUS status = VELTRA_Open(index, &card);
        if (status == VELTRA_DEVICE_NOT_FOUND)
            break; /* no card at this index: the list is complete */
        if (status != VELTRA_SUCCESS) {
            report("VELTRA_Open", status);
            return 1;
        }
        printf("card %u\n", (unsigned)index);
        if ((status = VELTRA_GetVersionInfo(card, &version)) == VELTRA_SUCCESS)
            printf("  library %u.%u.%u, driver %u.%u.%u\n", version.apiMajor, version.apiMinor,
                   version.apiBugfix, version.driverMajor, version.driverMinor,
                   version.driverBugfix);
        else
            report("VELTRA_GetVersionInfo", status);
        /* The values other than windowCount are the driver's; the README
         * says what the package's driver reports in each. */
        if ((status = VELTRA_GetCardInfoEx(card, &info)) == VELTRA_SUCCESS) {
            printf("  board 0x%04X revision %u serial 0x%08X, %u windows\n",
                   (unsigned)info.cardValue2, (unsigned)info.cardValue0, (unsigned)info.cardValue3,
                   (unsigned)info.windowCount);
            for (window = 0; window < info.windowCount; ++window) {
                VELTRA_WINDOW_INFO w;
                if (VELTRA_GetWindowInfo(card, window, &w) == VELTRA_SUCCESS)
                    printf("  window %u: %llu KiB at bus 0x%llX\n", (unsigned)window,
                           (unsigned long long)(w.windowValue0 >> 10),
                           (unsigned long long)w.windowValue1);
            }
        } else {
            report("VELTRA_GetCardInfoEx", status);
        }
        if ((status = VELTRA_GetFpgaInfoA(card, 0, &fpga)) == VELTRA_SUCCESS)
            printf("  FPGA 0: %s\n", fpga.name);
        if ((status = VELTRA_GetFlashInfoA(card, 0, &flash)) == VELTRA_SUCCESS)
            printf("  flash 0: %s, %llu MiB\n", flash.name,
                   (unsigned long long)(flash.attribute1 >> 20));
        VELTRA_Close(card);
    }
    printf("%u card(s)\n", (unsigned)index);
    return 0;
}
