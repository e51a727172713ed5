/*
 * flash_update: writes a file to a card's flash at a block boundary, keeping
 * what the last block it touches holds beyond the file, and reads it back to
 * verify.
 *
 *   flash_update CARD FILE OFFSET
 */
#include <veltra.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Reads a whole file; NULL if it cannot. */
static uint8_t* readFile(const char* path, size_t* size) {
    FILE* file = fopen(path, "rb");
    uint8_t* data = NULL;
    long length;
    if (file == NULL)
        return NULL;
    if (fseek(file, 0, SEEK_END) == 0 && (length = ftell(file)) > 0 &&
        fseek(file, 0, SEEK_SET) == 0 && (data = (uint8_t*)malloc((size_t)length)) != NULL &&
        fread(data, 1, (size_t)length, file) != (size_t)length) {
        free(data);
        data = NULL;
    }
    fclose(file);
    if (data != NULL)
        *size = (size_t)length;
    return data;
}

static int failed(const char* what, VELTRA_STATUS status) {
    if (status == VELTRA_SUCCESS)
        return 0;
    fprintf(stderr, "%s: %s\n", what, VELTRA_GetStatusStringA(status, 0));
    return 1;
}

int main(int argc, char** argv) {
    VELTRA_HANDLE card;
    VELTRA_FLASH_INFOA flash;
    VELTRA_FLASH_BLOCK_INFO first, last;
    uint8_t *data, *tail = NULL, *back = NULL;
    size_t size = 0;
    uint64_t offset, end;
    int bad = 1;
    if (argc != 4) {
        fprintf(stderr, "usage: flash_update CARD FILE OFFSET\n");
        return 2;
    }
    offset = strtoull(argv[3], NULL, 0);
    if ((data = readFile(argv[2], &size)) == NULL) {
        fprintf(stderr, "%s: cannot read it, or it is empty\n", argv[2]);
        return 1;
    }
    if (failed("VELTRA_Open", VELTRA_Open((uint32_t)strtoul(argv[1], NULL, 0), &card))) {
        free(data);
        return 1;
    }
    /* The package's driver reports the chip's size in attribute1, and for
     * each block its start and size in attribute1 and attribute2. */
    if (failed("VELTRA_GetFlashInfoA", VELTRA_GetFlashInfoA(card, 0, &flash)))
        goto done;
    if (offset > flash.attribute1 || size > flash.attribute1 - offset) {
        fprintf(stderr, "%s does not fit in the flash at 0x%llX\n", argv[2],
                (unsigned long long)offset);
        goto done;
    }
    if (failed("VELTRA_GetFlashBlockInfo", VELTRA_GetFlashBlockInfo(card, 0, offset, &first)) ||
        failed("VELTRA_GetFlashBlockInfo",
               VELTRA_GetFlashBlockInfo(card, 0, offset + size - 1, &last)))
        goto done;
    if (first.attribute1 != offset) {
        fprintf(stderr, "0x%llX is not the start of a flash block\n", (unsigned long long)offset);
        goto done;
    }
    end = last.attribute1 + last.attribute2;
    tail = (uint8_t*)malloc((size_t)(end - offset - size) + 1);
    back = (uint8_t*)malloc(size);
    if (tail == NULL || back == NULL)
        goto done;

    /* Erasing works on whole blocks: keep what the last one holds after the
     * file, erase, write the file and the kept bytes, and read back. */
    if (failed("VELTRA_ReadFlash",
               VELTRA_ReadFlash(card, 0, 0, offset + size, end - offset - size, tail)) ||
        failed("VELTRA_EraseFlash", VELTRA_EraseFlash(card, 0, 0, offset, end - offset)) ||
        failed("VELTRA_WriteFlash", VELTRA_WriteFlash(card, 0, 0, offset, size, data)) ||
        failed("VELTRA_WriteFlash",
               VELTRA_WriteFlash(card, 0, 0, offset + size, end - offset - size, tail)) ||
        failed("VELTRA_SyncFlash", VELTRA_SyncFlash(card, 0, 0)) ||
        failed("VELTRA_ReadFlash", VELTRA_ReadFlash(card, 0, 0, offset, size, back)))
        goto done;
    bad = memcmp(data, back, size) != 0;
    printf("%s: %lu bytes written to flash 0 (%s) at 0x%llX and %s\n", argv[2], (unsigned long)size,
           flash.name, (unsigned long long)offset,
           bad ? "DO NOT read back as written" : "verified");
done:
    VELTRA_Close(card);
    free(data);
    free(tail);
    free(back);
    return bad ? 1 : 0;
}
