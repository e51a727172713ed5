/*
 * dma_notify: moves 1 MiB to card memory by DMA and back, and waits for a
 * notification that the card raises when its doorbell is rung.
 *
 *   dma_notify CARD
 */
#include <veltra.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define LENGTH (1u << 20)
#define LOCAL_ADDRESS 0x100000u
#define NOTIFICATION 42u
/* Window attribute of the package's driver: the window is a doorbell. */
#define WINDOW_DOORBELL 4u

static int failed(const char* what, VELTRA_STATUS status) {
    if (status == VELTRA_SUCCESS)
        return 0;
    fprintf(stderr, "%s: %s\n", what, VELTRA_GetStatusStringA(status, 0));
    return 1;
}

/* The window the driver marks as the doorbell; -1 if there is none. */
static int doorbellWindow(VELTRA_HANDLE card) {
    VELTRA_CARD_INFO info;
    uint32_t w;
    if (VELTRA_GetCardInfo(card, &info) != VELTRA_SUCCESS)
        return -1;
    for (w = 0; w < info.windowCount; ++w) {
        VELTRA_WINDOW_INFO window;
        if (VELTRA_GetWindowInfo(card, w, &window) == VELTRA_SUCCESS &&
            (window.windowValue3 & WINDOW_DOORBELL) != 0)
            return (int)w;
    }
    return -1;
}

int main(int argc, char** argv) {
    const uint32_t index = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 0) : 0;
    VELTRA_HANDLE card;
    OVERLAPPED wait;
    uint8_t* data = (uint8_t*)malloc(LENGTH);
    uint8_t* back = (uint8_t*)malloc(LENGTH);
    uint32_t i, ring = NOTIFICATION;
    int doorbell, bad = 1;
    VELTRA_STATUS status;
    if (data == NULL || back == NULL || failed("VELTRA_Open", VELTRA_Open(index, &card)))
        return 1;
    for (i = 0; i < LENGTH; ++i)
        data[i] = (uint8_t)(i * 13 + (i >> 12));

    /* The blocking forms return when the transfer is over. */
    if (!failed("VELTRA_WriteDMA", VELTRA_WriteDMA(card, 0, 0, data, LENGTH, LOCAL_ADDRESS)) &&
        !failed("VELTRA_ReadDMA", VELTRA_ReadDMA(card, 1, 0, back, LENGTH, LOCAL_ADDRESS))) {
        bad = memcmp(data, back, LENGTH) != 0;
        printf("DMA: 1 MiB to card memory on channel 0 and back on channel 1: %s\n",
               bad ? "DIFFERENT" : "the same bytes");
    }

    /* A non-blocking wait, finished when the card raises the notification. */
    memset(&wait, 0, sizeof wait);
    wait.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    doorbell = doorbellWindow(card);
    status = VELTRA_StartNotificationWait(card, &wait, NOTIFICATION);
    if (doorbell < 0) {
        fprintf(stderr, "card %u has no doorbell window\n", (unsigned)index);
        bad = 1;
    } else if (status == VELTRA_PENDING &&
               !failed("ringing the doorbell",
                       VELTRA_Write(card, (uint32_t)doorbell, 0, 0, sizeof ring, &ring))) {
        if (WaitForSingleObject(wait.hEvent, 5000) != WAIT_OBJECT_0)
            VELTRA_Cancel(card); /* the wait then finishes as cancelled */
        status = VELTRA_FinishNotificationWait(card, &wait, 1);
        printf("notification %u: %s\n", (unsigned)NOTIFICATION, VELTRA_GetStatusStringA(status, 1));
        bad = bad || status != VELTRA_SUCCESS;
    } else {
        bad = 1;
        failed("VELTRA_StartNotificationWait",
               status == VELTRA_PENDING ? VELTRA_UNEXPECTED_ERROR : status);
        if (status == VELTRA_PENDING) {
            VELTRA_Cancel(card);
            VELTRA_FinishNotificationWait(card, &wait, 1);
        }
    }
    CloseHandle(wait.hEvent);
    VELTRA_Close(card);
    free(data);
    free(back);
    return bad ? 1 : 0;
}
