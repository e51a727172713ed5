/*
 * configure_fpga: configures FPGA 0 of a card from a bitstream file, after
 * checking that the file was built for that FPGA.
 *
 *   configure_fpga CARD FILE.bit
 */
#include <veltra.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    VELTRA_HANDLE card;
    VELTRA_BITSTREAMA* bitstream = NULL;
    VELTRA_FPGA_INFOA fpga;
    VELTRA_STATUS status;
    uint32_t index;
    if (argc != 3) {
        fprintf(stderr, "usage: configure_fpga CARD FILE.bit\n");
        return 2;
    }
    index = (uint32_t)strtoul(argv[1], NULL, 0);

    /* The file first: a missing or damaged file changes nothing. */
    status = VELTRA_LoadBitstreamA(argv[2], &bitstream);
    if (status != VELTRA_SUCCESS) {
        fprintf(stderr, "%s: %s\n", argv[2], VELTRA_GetStatusStringA(status, 0));
        return 1;
    }
    status = VELTRA_Open(index, &card);
    if (status != VELTRA_SUCCESS) {
        fprintf(stderr, "card %u: %s\n", (unsigned)index, VELTRA_GetStatusStringA(status, 0));
        VELTRA_UnloadBitstreamA(bitstream);
        return 1;
    }
    status = VELTRA_GetFpgaInfoA(card, 0, &fpga);
    if (status == VELTRA_SUCCESS && strcmp(fpga.name, bitstream->fpgaName) != 0) {
        /* VELTRA_ConfigureFromFileA would say VELTRA_FPGA_MISMATCH; both
         * names say more. */
        fprintf(stderr, "%s is built for %s; FPGA 0 of card %u is a %s\n", argv[2],
                bitstream->fpgaName, (unsigned)index, fpga.name);
        status = VELTRA_FPGA_MISMATCH;
    } else if (status == VELTRA_SUCCESS) {
        status = VELTRA_ConfigureFromBuffer(card, 0, 0, bitstream->data, bitstream->length);
        if (status == VELTRA_SUCCESS)
            printf("configured FPGA 0 of card %u (%s) with %lu bytes\n", (unsigned)index, fpga.name,
                   (unsigned long)bitstream->length);
        else
            fprintf(stderr, "configuring: %s\n", VELTRA_GetStatusStringA(status, 0));
    } else {
        fprintf(stderr, "FPGA 0: %s\n", VELTRA_GetStatusStringA(status, 0));
    }
    VELTRA_UnloadBitstreamA(bitstream);
    VELTRA_Close(card);
    return status == VELTRA_SUCCESS ? 0 : 1;
}
