/**
 * \file veltra.h
 * The VELTRA card API.
 *
 * An application opens a card by its index with VELTRA_Open() and passes the
 * returned handle to every other export. Every export that does not return
 * text returns a #VELTRA_STATUS: #VELTRA_SUCCESS (0) or a failure code from
 * 256 to 285. Codes from the KESTA driver use the same numbering, so any
 * export may also return a status that the driver reports. No export throws,
 * and output parameters are written on success only.
 *
 * The library comes in a free build (veltra) and a checked build (veltrad)
 * that also writes trace lines to the debugger output and checks assertions.
 * The header is plain C99 (it compiles with -std=c99 -pedantic) and C++.
 *
 * \section veltra_request_statuses Statuses of every driver request
 * Most exports are one request to the driver (DeviceIoControl). Besides the
 * statuses that each export lists, any export that sends a request may
 * return:
 * - a status of the driver: any code of the table, as the driver judges the
 *   request (an index the card does not have is #VELTRA_INVALID_INDEX, flags
 *   it does not know #VELTRA_INVALID_FLAG, a range outside the resource
 *   #VELTRA_INVALID_REGION, and so on);
 * - #VELTRA_INVALID_HANDLE: hCard is not an open device handle;
 * - #VELTRA_CANCELLED: the request was ended by VELTRA_Cancel() or by closing
 *   the handle;
 * - #VELTRA_NO_MEMORY: the calling thread's per-thread record (an event for
 *   its requests) could not be made;
 * - #VELTRA_UNEXPECTED_ERROR: any other failure of the system, such as a card
 *   that has been removed.
 *
 * \section veltra_threads Threads and blocking
 * - Every export may be called from any thread, and one handle may be used
 *   from several threads at once. The library keeps no table of handles and
 *   takes no lock for a request: each thread waits on its own event, so a
 *   thread has at most one request of its own in flight while other threads
 *   go on with theirs.
 * - Every export that sends a request blocks its thread until the driver
 *   answers it. The waiting DMA forms block until the transfer is over;
 *   VELTRA_FinishDMA() with a nonzero bWait blocks until the operation ends.
 *   The Start forms, VELTRA_StartNotificationWait() and VELTRA_FinishDMA()
 *   with bWait 0 never wait for the card.
 * - Mapping and unmapping (VELTRA_MapWindow(), VELTRA_MapCommonBuffer(),
 *   VELTRA_UnmapWindow(), VELTRA_Close()) are serialised by one process-wide
 *   lock and carried out by a worker thread of the library, so a mapping
 *   outlives the thread that made it. VELTRA_Close() waits until every
 *   region of its handle is unmapped.
 * - Close a handle only when no other thread is using it or may still use
 *   it: the value may name another object afterwards. Requests that are
 *   still pending on it end with #VELTRA_CANCELLED.
 * - VELTRA_Cancel() may be called from any thread; it ends the handle's
 *   outstanding transfers and notification waits.
 * - The status texts are constants, except the text for an unknown code,
 *   which is kept per thread.
 *
 * \section veltra_limits Limits
 * - Lengths, offsets and card-local addresses are 64-bit, and the library
 *   passes them to the driver unchanged; requests carry the caller's buffer
 *   by address, so no 32-bit DeviceIoControl buffer length limits a
 *   transfer. The plain DMA forms take a 32-bit card-local address: card
 *   memory past 4 GiB needs the Ex forms.
 * - A loaded bitstream holds its configuration data in one block with a
 *   32-bit length: the data and the object's header together must stay below
 *   4 GiB (#VELTRA_INVALID_BITSTREAM otherwise). VELTRA_ConfigureFromBuffer()
 *   takes a 64-bit length.
 * - The library imposes no alignment and no size on DMA, flash, VPD or
 *   window accesses: the driver judges them. The simulated driver accepts
 *   any alignment and any length inside the resource; it maps at most
 *   16 MiB per mapping (#VELTRA_REGION_TOO_LARGE). Locked-buffer handles
 *   are 32-bit values of the driver.
 *
 * \section veltra_driver_values Values that the driver defines
 * Several records carry values whose meaning is the driver's (the members
 * named cardValue, bankValue, windowValue, attribute and so on): the library
 * copies them as the driver sends them. What the simulated driver puts in
 * each of them is described in the package's README (installed as
 * share/doc/veltra/README.md), section "The default simulated machine",
 * and in the keys of a machine description.
 */
#ifndef VELTRA_H
#define VELTRA_H

#include <windows.h>

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Marks an export of the library: imported from the DLL on Windows. */
#if defined(_WIN32)
#if defined(VELTRA_BUILDING)
#define VELTRA_API
#else
#define VELTRA_API __declspec(dllimport)
#endif
#else
#define VELTRA_API __attribute__((visibility("default")))
#endif
/** The calling convention of every export (stdcall on 32-bit Windows). */
#define VELTRA_CALL WINAPI

/** The result of every export that does not return text. */
typedef uint32_t VELTRA_STATUS;

/** An open card: the Win32 handle of its device interface. */
typedef HANDLE VELTRA_HANDLE;

/** \name Status codes
 * Each code's name and message (the comment beside it) are the texts of
 * VELTRA_GetStatusStringA() and VELTRA_GetStatusStringW().
 * @{ */
#define VELTRA_SUCCESS 0u            /**< "No error" */
#define VELTRA_INTERNAL_ERROR 256u   /**< "An error in the API logic was detected" */
#define VELTRA_UNEXPECTED_ERROR 257u /**< "An unexpected error occurred" */
#define VELTRA_BAD_DRIVER 258u       /**< "The driver may be incorrectly installed" */
#define VELTRA_NO_MEMORY 259u     /**< "Could not allocate memory required to complete operation" */
#define VELTRA_ACCESS_DENIED 260u /**< "Caller does not have permission to perform the operation" \
                                   */
#define VELTRA_DEVICE_NOT_FOUND 261u /**< "Failed to open the device with specified CardID" */
#define VELTRA_FILE_NOT_FOUND 262u   /**< "Failed to open the specified bitstream file" */
#define VELTRA_HARDWARE_ERROR 263u   /**< "A hardware error occurred" */
#define VELTRA_FPGA_MISMATCH \
    264u /**< "The FPGA on the card did not match that of the bitstream file" */
#define VELTRA_INVALID_BITSTREAM 265u /**< "The bitstream file was corrupt" */
#define VELTRA_INVALID_BUFFER 266u    /**< "The supplied buffer was invalid" */
#define VELTRA_INVALID_FLAG 267u      /**< "A flag was invalid or not recognized" */
#define VELTRA_INVALID_FREQUENCY 268u /**< "The frequency was invalid" */
#define VELTRA_INVALID_HANDLE 269u    /**< "The device handle was invalid" */
#define VELTRA_INVALID_INDEX 270u     /**< "The index parameter was invalid" */
#define VELTRA_INVALID_REGION 271u    /**< "The offset and/or length parameter(s) were invalid" */
#define VELTRA_NULL_POINTER 272u      /**< "A NULL pointer was passed where NULL was illegal" */
#define VELTRA_BUSY 273u              /**< "There is already an operation in progress" */
#define VELTRA_CANCEL_FAILED 274u     /**< "There is nothing to cancel" */
#define VELTRA_CANCELLED 275u         /**< "The operation was cancelled" */
#define VELTRA_RESOURCE_LIMIT 276u    /**< "A resource limit was reached" */
#define VELTRA_REGION_TOO_LARGE 277u  /**< "The region is too large for a single operation" */
#define VELTRA_MUST_WAIT 278u         /**< "The operation could not be started immediately" */
#define VELTRA_NOT_OWNER 279u     /**< "The buffer handle belongs to a different device handle" */
#define VELTRA_PENDING 280u       /**< "The non-blocking operation is now in progress" */
#define VELTRA_NONBLOCK_IDLE 281u /**< "There is no non-blocking operation to finish" */
#define VELTRA_INVALID_BUFFER_HANDLE 282u /**< "The buffer handle is invalid" */
#define VELTRA_INVALID_LOCAL_REGION 283u  /**< "The local address region is invalid" */
#define VELTRA_DATATYPE_MISMATCH 284u     /**< "The datatype did not match that of the sensor" */
#define VELTRA_NOT_SUPPORTED 285u /**< "The hardware does not support the requested operation" */
/** @} */

/* ------------------------------------------------------------------------
 * Opening and closing
 */

/** Opens card `index` for reading and writing; the same as VELTRA_OpenEx()
 * with bReadOnly 0 and flags 0. On success *phCard receives the handle, which
 * the application owns until VELTRA_Close().
 * \retval VELTRA_SUCCESS            the card is open
 * \retval VELTRA_NULL_POINTER       phCard is NULL (nothing is opened)
 * \retval VELTRA_DEVICE_NOT_FOUND   no card has that index
 * \retval VELTRA_ACCESS_DENIED      the device refused the open
 * \retval VELTRA_NO_MEMORY          the library ran out of memory
 * \retval VELTRA_UNEXPECTED_ERROR   any other failure */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Open(uint32_t index, VELTRA_HANDLE* phCard);

/** As VELTRA_Open(); a nonzero bReadOnly opens with read-data access only.
 * When bit 0 of `flags` is set, the whole value is passed to the driver right
 * after opening; if the driver refuses it, the new handle is closed again,
 * *phCard is left untouched and the driver's status (for example
 * #VELTRA_INVALID_FLAG) is returned. Other bits alone send nothing.
 * \return the statuses of VELTRA_Open(), then, with bit 0 of flags set,
 *         those of a driver request (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_OpenEx(uint32_t index, int32_t bReadOnly,
                                                   uint32_t flags, VELTRA_HANDLE* phCard);

/** Unmaps every region mapped through the handle, then closes it. A region
 * whose unmap fails is dropped (the checked build traces it) and the close
 * goes on. The driver ends the handle's pending requests, releases its
 * locked buffers and its event registrations.
 * \retval VELTRA_SUCCESS            closed
 * \retval VELTRA_INVALID_HANDLE     hCard is not an open handle
 * \retval VELTRA_UNEXPECTED_ERROR   the close failed for another reason */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Close(VELTRA_HANDLE hCard);

/* ------------------------------------------------------------------------
 * Status texts
 */

/** The name (bShort nonzero, e.g. "VELTRA_INVALID_HANDLE") or the message
 * (bShort zero) of a status code. A code outside the table gives "Unknown
 * status code %lu(0x%lx)"; that text is kept per thread and is valid until
 * the same thread asks again for an unknown code. Never NULL; never freed.
 * Sends no request and cannot fail. */
VELTRA_API const char* VELTRA_CALL VELTRA_GetStatusStringA(VELTRA_STATUS code, int32_t bShort);
/** The wide form of VELTRA_GetStatusStringA(), with the same lifetime rules. */
VELTRA_API const WCHAR* VELTRA_CALL VELTRA_GetStatusStringW(VELTRA_STATUS code, int32_t bShort);

/* ------------------------------------------------------------------------
 * Records. Every record has natural alignment; the layouts are fixed and
 * the same on every platform (WCHAR is 16 bits). The number beside each
 * member is its offset in bytes.
 */

/** The library's and the driver's versions. 12 bytes. */
typedef struct _VELTRA_VERSION_INFO {
    uint16_t apiMajor;     /**< 0: always 1 */
    uint16_t apiMinor;     /**< 2: always 4 */
    uint16_t apiBugfix;    /**< 4: always 16 */
    uint16_t driverMajor;  /**< 6 */
    uint16_t driverMinor;  /**< 8 */
    uint16_t driverBugfix; /**< 10 */
} VELTRA_VERSION_INFO;

/** The card's fixed properties. 40 bytes. The meaning of the values other
 * than windowCount is the driver's. */
typedef struct _VELTRA_CARD_INFO {
    uint32_t cardValue0;  /**< 0 */
    uint32_t reserved1;   /**< 4: always 0 */
    uint32_t cardValue2;  /**< 8 */
    uint32_t cardValue3;  /**< 12 */
    uint32_t cardValue4;  /**< 16 */
    uint32_t cardValue5;  /**< 20 */
    uint32_t cardValue6;  /**< 24 */
    uint32_t cardValue7;  /**< 28 */
    uint32_t windowCount; /**< 32: number of memory windows */
    uint32_t cardValue9;  /**< 36 */
} VELTRA_CARD_INFO;

/** The extended form. 52 bytes. */
typedef struct _VELTRA_CARD_INFO_EX {
    uint32_t cardValue0;  /**< 0 */
    uint32_t reserved1;   /**< 4: always 0 */
    uint32_t cardValue2;  /**< 8 */
    uint32_t cardValue3;  /**< 12 */
    uint32_t cardValue4;  /**< 16 */
    uint32_t cardValue5;  /**< 20 */
    uint32_t cardValue6;  /**< 24 */
    uint32_t cardValue7;  /**< 28 */
    uint32_t windowCount; /**< 32 */
    uint32_t cardValue9;  /**< 36 */
    uint32_t cardValue10; /**< 40 */
    uint32_t cardValue11; /**< 44 */
    uint32_t reserved12;  /**< 48: always 0 */
} VELTRA_CARD_INFO_EX;

/** One memory bank. 48 bytes. */
typedef struct _VELTRA_BANK_INFO {
    uint64_t bankValue0;  /**< 0 */
    uint64_t bankValue1;  /**< 8 */
    uint64_t bankValue2;  /**< 16 */
    uint16_t bankHalf0;   /**< 24 */
    uint16_t bankHalf1;   /**< 26 */
    uint16_t bankHalfSum; /**< 28: bankHalf0 + bankHalf1, modulo 65536 */
    uint16_t padding30;   /**< 30: always 0 */
    uint32_t bankValue3;  /**< 32 */
    uint32_t bankValue4;  /**< 36 */
    uint32_t bBankFlag;   /**< 40: 0 or 1 */
    uint32_t padding44;   /**< 44: always 0 */
} VELTRA_BANK_INFO;

/** One module's identity. 280 bytes (narrow), 536 bytes (wide). */
typedef struct _VELTRA_MODULE_INFOA {
    char moduleText0[64];  /**< 0 */
    char moduleText1[64];  /**< 64 */
    char moduleText2[64];  /**< 128 */
    char moduleText3[64];  /**< 192 */
    double moduleFixed;    /**< 256: the driver's fixed-point value */
    uint32_t moduleValue0; /**< 264 */
    uint32_t moduleValue1; /**< 268 */
    uint32_t bModuleFlag;  /**< 272: 0 or 1 */
} VELTRA_MODULE_INFOA;

/** The wide form of #VELTRA_MODULE_INFOA. */
typedef struct _VELTRA_MODULE_INFOW {
    WCHAR moduleText0[64]; /**< 0 */
    WCHAR moduleText1[64]; /**< 128 */
    WCHAR moduleText2[64]; /**< 256 */
    WCHAR moduleText3[64]; /**< 384 */
    double moduleFixed;    /**< 512 */
    uint32_t moduleValue0; /**< 520 */
    uint32_t moduleValue1; /**< 524 */
    uint32_t bModuleFlag;  /**< 528 */
} VELTRA_MODULE_INFOW;

/** One address window, as the driver describes it. 40 bytes. */
typedef struct _VELTRA_WINDOW_INFO {
    uint64_t windowValue0; /**< 0 */
    uint64_t windowValue1; /**< 8 */
    uint64_t windowValue2; /**< 16 */
    uint64_t windowValue3; /**< 24 */
    uint64_t windowValue4; /**< 32 */
} VELTRA_WINDOW_INFO;

/** The FPGA at an index of the card, by name. 104 bytes (narrow), 184 bytes
 * (wide). `name` is the device name followed by the package text, in lower
 * case: the form of the part name in a bitstream file ("7vx690tffg1157").
 * The attributes and texts are the driver's. */
typedef struct _VELTRA_FPGA_INFOA {
    char name[32];        /**< 0 */
    uint32_t typeCode;    /**< 32 */
    uint32_t family;      /**< 36 */
    uint32_t attribute1;  /**< 40 */
    uint32_t packageCode; /**< 44: letters in bits 31-24 and 23-16, pins in 15-0 */
    char deviceName[16];  /**< 48: upper case, e.g. "7VX690T" */
    char packageName[16]; /**< 64: upper case, e.g. "FFG1157" */
    uint32_t attribute2;  /**< 80 */
    char text1[8];        /**< 84 */
    char text2[8];        /**< 92 */
    uint32_t attribute3;  /**< 100 */
} VELTRA_FPGA_INFOA;

/** The wide form of #VELTRA_FPGA_INFOA. */
typedef struct _VELTRA_FPGA_INFOW {
    WCHAR name[32];        /**< 0 */
    uint32_t typeCode;     /**< 64 */
    uint32_t family;       /**< 68 */
    uint32_t attribute1;   /**< 72 */
    uint32_t packageCode;  /**< 76 */
    WCHAR deviceName[16];  /**< 80 */
    WCHAR packageName[16]; /**< 112 */
    uint32_t attribute2;   /**< 144 */
    WCHAR text1[8];        /**< 148 */
    WCHAR text2[8];        /**< 164 */
    uint32_t attribute3;   /**< 180 */
} VELTRA_FPGA_INFOW;

/** A bitstream file loaded into memory: one block of 40 + length bytes
 * (narrow) or 72 + length bytes (wide), from the library's own heap. The
 * configuration data follows `length` directly. Release it with
 * VELTRA_UnloadBitstreamA/W only. */
typedef struct _VELTRA_BITSTREAMA {
    char fpgaName[32]; /**< 0: the file's part name, lower case */
    uint32_t length;   /**< 32: bytes of configuration data */
    uint8_t data[1];   /**< 36: `length` bytes */
} VELTRA_BITSTREAMA;

/** The wide form of #VELTRA_BITSTREAMA. */
typedef struct _VELTRA_BITSTREAMW {
    WCHAR fpgaName[32]; /**< 0 */
    uint32_t length;    /**< 64 */
    uint8_t data[1];    /**< 68 */
} VELTRA_BITSTREAMW;

/** A flash bank: the chip's name (from its JEDEC identifiers) and three
 * values of the driver. 56 bytes (narrow), 88 bytes (wide). */
typedef struct _VELTRA_FLASH_INFOA {
    char name[32];       /**< 0: e.g. "Numonyx Axcell P30 (Top boot)", or
                          * "Vendor 0x0020 Device 0x227E" for a chip not in the table */
    uint64_t attribute1; /**< 32 */
    uint64_t attribute2; /**< 40 */
    uint64_t attribute3; /**< 48 */
} VELTRA_FLASH_INFOA;

/** The wide form of #VELTRA_FLASH_INFOA. */
typedef struct _VELTRA_FLASH_INFOW {
    WCHAR name[32];      /**< 0 */
    uint64_t attribute1; /**< 64 */
    uint64_t attribute2; /**< 72 */
    uint64_t attribute3; /**< 80 */
} VELTRA_FLASH_INFOW;

/** The flash block that holds an offset. 24 bytes. */
typedef struct _VELTRA_FLASH_BLOCK_INFO {
    uint64_t attribute1; /**< 0 */
    uint64_t attribute2; /**< 8 */
    uint32_t attribute3; /**< 16 */
    uint32_t padding20;  /**< 20 */
} VELTRA_FLASH_BLOCK_INFO;

/** A sensor's description. 56 bytes (narrow), 88 bytes (wide). */
typedef struct _VELTRA_SENSOR_INFOA {
    char description[28]; /**< 0 */
    uint32_t attribute1;  /**< 28 */
    double attribute2;    /**< 32: the driver's 16.16 fixed-point value */
    uint32_t attribute3;  /**< 40 */
    uint32_t attribute4;  /**< 44 */
    uint32_t attribute5;  /**< 48 */
    uint32_t padding52;   /**< 52 */
} VELTRA_SENSOR_INFOA;

/** The wide form of #VELTRA_SENSOR_INFOA. */
typedef struct _VELTRA_SENSOR_INFOW {
    WCHAR description[28]; /**< 0 */
    uint32_t attribute1;   /**< 56 */
    uint32_t padding60;    /**< 60 */
    double attribute2;     /**< 64 */
    uint32_t attribute3;   /**< 72 */
    uint32_t attribute4;   /**< 76 */
    uint32_t attribute5;   /**< 80 */
    uint32_t padding84;    /**< 84 */
} VELTRA_SENSOR_INFOW;

/** One sensor reading. 8 bytes. Datatypes 0, 2 and 3 write value32 (4
 * bytes); datatype 1 writes doubleValue. */
typedef union _VELTRA_SENSOR_VALUE {
    uint32_t value32;   /**< datatypes 0, 2 and 3 */
    double doubleValue; /**< datatype 1 */
} VELTRA_SENSOR_VALUE;

/** The card's device-error status. 32 bytes. */
typedef struct _VELTRA_DEVICE_STATUS {
    uint32_t status1;     /**< 0 */
    uint32_t status2;     /**< 4 */
    uint32_t status3;     /**< 8 */
    uint32_t reserved[3]; /**< 12: always 0 */
    uint32_t status4;     /**< 24 */
    uint32_t status5;     /**< 28 */
} VELTRA_DEVICE_STATUS;

/* ------------------------------------------------------------------------
 * Card, version, bank and module information
 *
 * Each is one request. The output is written on success only.
 */

/** The library's version, 1.4.16 whatever the driver answers, and the
 * driver's.
 * \retval VELTRA_NULL_POINTER  pInfo is NULL (nothing sent)
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetVersionInfo(VELTRA_HANDLE hCard,
                                                           VELTRA_VERSION_INFO* pInfo);
/** The card's fixed properties (meanings: \ref veltra_driver_values).
 * \retval VELTRA_NULL_POINTER  pInfo is NULL (nothing sent)
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetCardInfo(VELTRA_HANDLE hCard,
                                                        VELTRA_CARD_INFO* pInfo);
/** The extended card information; as VELTRA_GetCardInfo(). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetCardInfoEx(VELTRA_HANDLE hCard,
                                                          VELTRA_CARD_INFO_EX* pInfo);
/** Memory bank `bankIndex` (meanings: \ref veltra_driver_values).
 * \retval VELTRA_NULL_POINTER   pInfo is NULL (nothing sent)
 * \retval VELTRA_INVALID_INDEX  the card has no such bank (the driver's verdict)
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetBankInfo(VELTRA_HANDLE hCard, uint32_t bankIndex,
                                                        VELTRA_BANK_INFO* pInfo);
/** Module `moduleIndex` (meanings: \ref veltra_driver_values). The texts
 * are always terminated inside their fields.
 * \retval VELTRA_NULL_POINTER   pInfo is NULL (nothing sent)
 * \retval VELTRA_INVALID_INDEX  the card has no such module (the driver's verdict)
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetModuleInfoA(VELTRA_HANDLE hCard,
                                                           uint32_t moduleIndex,
                                                           VELTRA_MODULE_INFOA* pInfo);
/** The wide form of VELTRA_GetModuleInfoA(), with the same statuses. It
 * leaves the characters after each text's terminator as they were. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetModuleInfoW(VELTRA_HANDLE hCard,
                                                           uint32_t moduleIndex,
                                                           VELTRA_MODULE_INFOW* pInfo);

/* ------------------------------------------------------------------------
 * FPGAs, bitstreams and configuration
 */

/** Which FPGA sits at `index`: the driver's codes, and the device and package
 * names made from them (an unknown code gives a name such as "unknown14").
 * \retval VELTRA_NULL_POINTER   pInfo is NULL (nothing sent)
 * \retval VELTRA_INVALID_INDEX  an index past the card's FPGAs (the driver's verdict)
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetFpgaInfoA(VELTRA_HANDLE hCard, uint32_t index,
                                                         VELTRA_FPGA_INFOA* pInfo);
/** The wide form of VELTRA_GetFpgaInfoA(), with the same statuses. It leaves
 * the characters after each text's terminator as they were, except each
 * field's last, which is NUL. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetFpgaInfoW(VELTRA_HANDLE hCard, uint32_t index,
                                                         VELTRA_FPGA_INFOW* pInfo);

/** Reads a Xilinx bitstream file (.bit) into a new object; *ppBitstream is
 * written on success only. Sends no request: it needs no card. The data is
 * everything from the end of the 'e' field's 4-byte length to the end of the
 * file; that length itself is not consulted, so trailing bytes count as data
 * and a file shorter than it claims loads what it holds.
 * \retval VELTRA_SUCCESS             loaded; free it with VELTRA_UnloadBitstreamA()
 * \retval VELTRA_NULL_POINTER        fileName or ppBitstream is NULL
 * \retval VELTRA_FILE_NOT_FOUND      the file cannot be opened
 * \retval VELTRA_INVALID_BITSTREAM   the header is damaged, the file ends
 *                                    before its data starts, the data is too
 *                                    large (\ref veltra_limits), or the
 *                                    system fails to read the file
 * \retval VELTRA_NO_MEMORY           the object cannot be allocated */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_LoadBitstreamA(const char* fileName,
                                                           VELTRA_BITSTREAMA** ppBitstream);
/** The wide form of VELTRA_LoadBitstreamA(), with the same statuses. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_LoadBitstreamW(const WCHAR* fileName,
                                                           VELTRA_BITSTREAMW** ppBitstream);

/** Frees an object of either form (one entry point, two names). Passing
 * anything but an object from VELTRA_LoadBitstreamA/W, or one already freed,
 * is undefined.
 * \retval VELTRA_SUCCESS       freed
 * \retval VELTRA_NULL_POINTER  pBitstream is NULL */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_UnloadBitstreamA(void* pBitstream);
/** The same entry point as VELTRA_UnloadBitstreamA(). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_UnloadBitstreamW(void* pBitstream);

/** Configures FPGA `index` from `length` bytes at `buffer`, which the driver
 * reads during the call; no check of the FPGA's name is made. Blocks until
 * the FPGA is configured or has failed.
 * \retval VELTRA_NULL_POINTER    length is not 0 and buffer is NULL (nothing sent)
 * \retval VELTRA_INVALID_INDEX   no FPGA at `index` (the driver's verdict)
 * \retval VELTRA_INVALID_FLAG    flags the driver does not take
 * \retval VELTRA_HARDWARE_ERROR  the FPGA did not finish configuring
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ConfigureFromBuffer(VELTRA_HANDLE hCard, uint32_t index,
                                                                uint32_t flags, const void* buffer,
                                                                uint64_t length);

/** Loads a bitstream file, checks that it was built for the FPGA at `index`,
 * configures from it and frees it, whatever the outcome.
 * \retval VELTRA_FPGA_MISMATCH  the file's part is not the FPGA's (no
 *                               configure request is sent)
 * \return otherwise, in this order: the statuses of VELTRA_LoadBitstreamA()
 *         (before the card handle is used), those of VELTRA_GetFpgaInfoA(),
 *         then those of VELTRA_ConfigureFromBuffer(). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ConfigureFromFileA(VELTRA_HANDLE hCard, uint32_t index,
                                                               uint32_t flags,
                                                               const char* fileName);
/** The wide form of VELTRA_ConfigureFromFileA(), with the same statuses. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ConfigureFromFileW(VELTRA_HANDLE hCard, uint32_t index,
                                                               uint32_t flags,
                                                               const WCHAR* fileName);

/** Asks the driver to unconfigure FPGA `index`.
 * \return the request's status: #VELTRA_INVALID_INDEX, #VELTRA_INVALID_FLAG
 *         and the others of \ref veltra_request_statuses. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Unconfigure(VELTRA_HANDLE hCard, uint32_t index,
                                                        uint32_t flags);

/* ------------------------------------------------------------------------
 * Flash memory
 *
 * Every operation is one driver request that blocks until the chip is done;
 * the driver works on the caller's buffer directly and judges bank, region,
 * alignment and flags (#VELTRA_INVALID_INDEX, #VELTRA_INVALID_REGION,
 * #VELTRA_INVALID_FLAG), and reports a chip that fails as
 * #VELTRA_HARDWARE_ERROR.
 */

/** Flash bank `index`: the chip's name from its JEDEC identifiers and the
 * driver's three values (meanings: \ref veltra_driver_values).
 * \retval VELTRA_NULL_POINTER   pInfo is NULL (nothing sent)
 * \retval VELTRA_INVALID_INDEX  no such bank (the driver's verdict)
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetFlashInfoA(VELTRA_HANDLE hCard, uint32_t index,
                                                          VELTRA_FLASH_INFOA* pInfo);
/** The wide form of VELTRA_GetFlashInfoA(), with the same statuses. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetFlashInfoW(VELTRA_HANDLE hCard, uint32_t index,
                                                          VELTRA_FLASH_INFOW* pInfo);
/** The block of flash bank `index` that holds `offset`.
 * \retval VELTRA_NULL_POINTER    pInfo is NULL (nothing sent)
 * \retval VELTRA_INVALID_INDEX   no such bank
 * \retval VELTRA_INVALID_REGION  offset lies past the chip
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetFlashBlockInfo(VELTRA_HANDLE hCard, uint32_t index,
                                                              uint64_t offset,
                                                              VELTRA_FLASH_BLOCK_INFO* pInfo);
/** Erases `length` bytes of flash bank `index` from `offset`; the driver
 * decides whether the range must cover whole blocks (the simulated one
 * requires it: #VELTRA_INVALID_REGION otherwise).
 * \return the request's status: #VELTRA_INVALID_INDEX, #VELTRA_INVALID_REGION,
 *         #VELTRA_INVALID_FLAG, #VELTRA_HARDWARE_ERROR and the others of
 *         \ref veltra_request_statuses. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_EraseFlash(VELTRA_HANDLE hCard, uint32_t index,
                                                       uint32_t flags, uint64_t offset,
                                                       uint64_t length);
/** Reads `length` bytes of flash bank `index` from `offset` into `buffer`.
 * \retval VELTRA_NULL_POINTER  length is not 0 and buffer is NULL (nothing sent)
 * \return otherwise the request's status, as for VELTRA_EraseFlash(). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadFlash(VELTRA_HANDLE hCard, uint32_t index,
                                                      uint32_t flags, uint64_t offset,
                                                      uint64_t length, void* buffer);
/** Programs `length` bytes from `buffer` into flash bank `index` at
 * `offset`. As on any NOR flash, programming clears bits only: erase first.
 * \retval VELTRA_NULL_POINTER  length is not 0 and buffer is NULL (nothing sent)
 * \return otherwise the request's status, as for VELTRA_EraseFlash(). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteFlash(VELTRA_HANDLE hCard, uint32_t index,
                                                       uint32_t flags, uint64_t offset,
                                                       uint64_t length, const void* buffer);
/** Waits until flash bank `index` has finished every write and erase.
 * \return the request's status, as for VELTRA_EraseFlash(). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_SyncFlash(VELTRA_HANDLE hCard, uint32_t index,
                                                      uint32_t flags);

/* ------------------------------------------------------------------------
 * VPD, clocks, sensors and device status
 */

/** Reads `length` bytes of the card's vital product data from `offset`.
 * \retval VELTRA_NULL_POINTER    length is not 0 and buffer is NULL (nothing sent)
 * \retval VELTRA_INVALID_REGION  the range passes the end of the VPD
 * \retval VELTRA_INVALID_FLAG    flags the driver does not take
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadVPD(VELTRA_HANDLE hCard, uint32_t flags,
                                                    uint64_t offset, uint64_t length, void* buffer);
/** Writes `length` bytes of vital product data at `offset`; statuses as
 * VELTRA_ReadVPD(). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteVPD(VELTRA_HANDLE hCard, uint32_t flags,
                                                     uint64_t offset, uint64_t length,
                                                     const void* buffer);

/** Clock generator `index`'s frequency in Hz. The request is sent first.
 * \retval VELTRA_INVALID_INDEX  no such clock generator
 * \retval VELTRA_NULL_POINTER   the request succeeded but pFrequency is NULL
 * \return otherwise the request's status (\ref veltra_request_statuses), even when pFrequency
 *         is NULL. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetClockFrequency(VELTRA_HANDLE hCard, uint32_t index,
                                                              double* pFrequency);

/** Sets clock generator `index` to `frequency` Hz; the frequency is sent as a
 * 64-bit integer, truncated toward zero. On success the frequency the
 * generator actually runs at is stored through pActualFrequency (optional).
 * \retval VELTRA_INVALID_FREQUENCY  a frequency above 9.0e18, below -9.0e18
 *                                  or NaN (nothing sent), or one the
 *                                  generator cannot make (the driver's verdict)
 * \retval VELTRA_NOT_SUPPORTED      a fixed clock
 * \retval VELTRA_INVALID_INDEX      no such clock generator
 * \retval VELTRA_HARDWARE_ERROR     the generator did not lock
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_SetClockFrequency(VELTRA_HANDLE hCard, uint32_t index,
                                                              uint32_t flags, double frequency,
                                                              double* pActualFrequency);

/** Sensor `index`'s description (meanings: \ref veltra_driver_values). The
 * description is always terminated inside its field.
 * \retval VELTRA_NULL_POINTER   pInfo is NULL (nothing sent)
 * \retval VELTRA_INVALID_INDEX  no such sensor
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetSensorInfoA(VELTRA_HANDLE hCard, uint32_t index,
                                                           VELTRA_SENSOR_INFOA* pInfo);
/** The wide form of VELTRA_GetSensorInfoA(), with the same statuses. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetSensorInfoW(VELTRA_HANDLE hCard, uint32_t index,
                                                           VELTRA_SENSOR_INFOW* pInfo);

/** One reading of sensor `index`, in the form its datatype gives.
 * \retval VELTRA_NULL_POINTER      pValue is NULL (nothing sent)
 * \retval VELTRA_INVALID_INDEX     no such sensor
 * \retval VELTRA_UNEXPECTED_ERROR  the driver answered with a datatype other
 *                                 than 0 to 3 (nothing written)
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadSensor(VELTRA_HANDLE hCard, uint32_t index,
                                                       VELTRA_SENSOR_VALUE* pValue);

/** The card's device-error status; *pAnyError (optional) receives 1 if any
 * status word is not 0, else 0.
 * \retval VELTRA_NULL_POINTER  pStatus is NULL (nothing sent)
 * \retval VELTRA_INVALID_FLAG  flags the driver does not take
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetDeviceStatus(VELTRA_HANDLE hCard, uint32_t flags,
                                                            VELTRA_DEVICE_STATUS* pStatus,
                                                            uint32_t* pAnyError);
/** Clears the card's device-error status.
 * \return the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ClearDeviceErrors(VELTRA_HANDLE hCard);

/* ------------------------------------------------------------------------
 * Windows and common buffers
 */

/** Window `index` as the driver describes it (meanings:
 * \ref veltra_driver_values).
 * \retval VELTRA_NULL_POINTER   pInfo is NULL (nothing sent)
 * \retval VELTRA_INVALID_INDEX  the card has no such window
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetWindowInfo(VELTRA_HANDLE hCard, uint32_t index,
                                                          VELTRA_WINDOW_INFO* pInfo);

/** Maps `length` bytes of window `index` from `offset` into the process; the
 * mapping stays valid until it is unmapped or the handle is closed, whatever
 * thread made it. Two maps of one region are two mappings, each unmapped by
 * its address. The library's checks come first, in the order listed, then
 * the driver's verdicts:
 * \retval VELTRA_INVALID_REGION    first, length is 0 or offset + length passes
 *                                  2^64; last, the driver's verdict on a
 *                                  region outside the window
 * \retval VELTRA_NULL_POINTER      ppVirtualBase is NULL
 * \retval VELTRA_INVALID_INDEX     index is not below the card's windowCount,
 *                                  after the statuses of VELTRA_GetCardInfo()
 *                                  (a request made on every call)
 * \retval VELTRA_REGION_TOO_LARGE  the region is larger than the driver maps
 *                                  at once (\ref veltra_limits)
 * \retval VELTRA_NO_MEMORY         the driver, or the library (for its record
 *                                  of the region or its worker thread), ran out
 *                                  of memory
 * \retval VELTRA_ACCESS_DENIED      the driver refused the mapping
 * \retval VELTRA_INVALID_HANDLE     hCard is not an open handle
 * \retval VELTRA_CANCELLED          the map request was cancelled
 * \retval VELTRA_UNEXPECTED_ERROR   any other failure */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_MapWindow(VELTRA_HANDLE hCard, uint32_t index,
                                                      uint64_t offset, uint64_t length,
                                                      void** ppVirtualBase);

/** Unmaps a region mapped through hCard, of a window or of a common buffer,
 * by the address its map returned. The first two failures are answered by
 * the library alone and change nothing; the others are the driver's answer
 * to the unmap request, after which the region is no longer the library's
 * (it is not unmapped again by VELTRA_Close()).
 * \retval VELTRA_SUCCESS            unmapped
 * \retval VELTRA_NULL_POINTER       pVirtualBase is NULL
 * \retval VELTRA_INVALID_REGION     hCard has mapped regions, but none at this
 *                                  address (also the driver's verdict on an
 *                                  address it does not know)
 * \retval VELTRA_INVALID_HANDLE     hCard has no mapped region at all (also
 *                                  the answer for a handle that is not open)
 * \retval VELTRA_NO_MEMORY          the library's worker thread could not be
 *                                  started
 * \retval VELTRA_CANCELLED          the unmap request was cancelled
 * \retval VELTRA_UNEXPECTED_ERROR   any other failure */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_UnmapWindow(VELTRA_HANDLE hCard, void* pVirtualBase);
/** The same entry point as VELTRA_UnmapWindow(): either name unmaps any
 * region, with the same statuses. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_UnmapCommonBuffer(VELTRA_HANDLE hCard,
                                                              void* pVirtualBase);

/** Reads `length` bytes of window `index` at `offset` into `buffer` without
 * a mapping; the driver moves the data during the call. Nothing is checked
 * by the library.
 * \return the request's status: #VELTRA_INVALID_INDEX, #VELTRA_INVALID_REGION
 *         (outside the window), #VELTRA_INVALID_FLAG, #VELTRA_INVALID_BUFFER
 *         (a NULL buffer with a nonzero length) and the others of
 *         \ref veltra_request_statuses. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Read(VELTRA_HANDLE hCard, uint32_t index,
                                                 uint32_t flags, uint64_t offset, uint64_t length,
                                                 void* buffer);
/** Writes `length` bytes from `buffer` to window `index` at `offset`
 * without a mapping; statuses as VELTRA_Read(). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Write(VELTRA_HANDLE hCard, uint32_t index,
                                                  uint32_t flags, uint64_t offset, uint64_t length,
                                                  void* buffer);

/** The number of common buffers the driver holds for the card.
 * \retval VELTRA_NULL_POINTER  pCount is NULL (nothing sent)
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetCommonBufferCount(VELTRA_HANDLE hCard,
                                                                 uint32_t* pCount);

/** Common buffer `index`: *pBufferValue receives its value (on the simulator,
 * its bus address) and *pBufferKey the key by which VELTRA_MapCommonBuffer()
 * finds it. Either pointer may be NULL; the request is sent regardless.
 * \retval VELTRA_INVALID_INDEX  no such common buffer
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetCommonBuffer(VELTRA_HANDLE hCard, uint32_t index,
                                                            uint64_t* pBufferValue,
                                                            uint64_t* pBufferKey);

/** Maps a region of the first common buffer whose key is bufferKey. Unlike
 * VELTRA_MapWindow(), the library does not check the range: the driver does.
 * \retval VELTRA_NULL_POINTER      ppVirtualBase is NULL
 * \retval VELTRA_INVALID_REGION    no buffer has that key
 * \retval VELTRA_INVALID_HANDLE    hCard is not an open handle
 * \retval VELTRA_UNEXPECTED_ERROR  looking the buffers up failed otherwise
 * \return then the driver's verdict on the region and the library's, as for
 *         VELTRA_MapWindow(). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_MapCommonBuffer(VELTRA_HANDLE hCard, uint64_t bufferKey,
                                                            uint64_t offset, uint64_t length,
                                                            void** ppVirtualBase);

/** Sets the checked build's exception level. From level 2 on, unmapping an address that no region
 * of the handle has raises a continuable structured exception (code 0, two arguments: the device
 * handle and the address) on the library's mapping thread. An application that sets the level
 * installs a vectored exception handler (AddVectoredExceptionHandler) that returns
 * EXCEPTION_CONTINUE_EXECUTION for it; the unmap then returns its status as
 * usual. The free build ignores the level. */
VELTRA_API void VELTRA_CALL VELTRA_SetWin32ExceptionLevel(uint32_t level);

/* ------------------------------------------------------------------------
 * DMA transfers
 */

/** \page veltra_dma DMA transfers
 * "Read" forms move data from the card to the host side, "Write" forms from
 * the host side to the card, on DMA channel `channel`. The host side is the
 * caller's buffer, a range of a buffer locked with VELTRA_Lock() (by its
 * handle and an offset), or a bus address. The plain forms take a 32-bit
 * card-local address, the Ex forms a 64-bit one; lengths are 64-bit
 * (\ref veltra_limits). Each is one request and takes no lock.
 *
 * The waiting forms block until the transfer is over; several threads may
 * each run one at a time on one handle. The Start forms never wait for the
 * card: any number may be outstanding, each on its own OVERLAPPED, which
 * with the host buffer must stay untouched until VELTRA_FinishDMA() on that
 * OVERLAPPED has returned something other than #VELTRA_PENDING. A Start form
 * returns #VELTRA_PENDING while the transfer runs, #VELTRA_SUCCESS if it is
 * already over, or a failure (nothing was started); #VELTRA_NULL_POINTER if
 * pOverlapped is NULL (nothing sent).
 *
 * The library checks no other argument: the driver gives every verdict,
 * among them
 * - #VELTRA_INVALID_INDEX: no such DMA channel;
 * - #VELTRA_INVALID_FLAG: flags the driver does not know;
 * - #VELTRA_INVALID_LOCAL_REGION: the card-local range lies outside card
 *   memory;
 * - #VELTRA_INVALID_BUFFER: a NULL buffer with a nonzero length;
 * - #VELTRA_INVALID_REGION: a range beyond the locked buffer, or a bus range
 *   that reaches no host memory;
 * - #VELTRA_INVALID_BUFFER_HANDLE: hBuffer is not a locked buffer;
 * - #VELTRA_NOT_OWNER: hBuffer was locked through another device handle;
 * - #VELTRA_HARDWARE_ERROR: the transfer failed on the card;
 * - #VELTRA_CANCELLED: VELTRA_Cancel() or a close ended it;
 * and the others of \ref veltra_request_statuses.
 */
/** Card memory at a 32-bit local address to the caller's buffer; waits. Statuses: \ref veltra_dma.
 */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadDMA(VELTRA_HANDLE hCard, uint32_t channel,
                                                    uint32_t flags, void* buffer, uint64_t length,
                                                    uint32_t localAddress);
/** Card memory at a 64-bit local address to the caller's buffer; waits. Statuses: \ref veltra_dma.
 */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadDMAEx(VELTRA_HANDLE hCard, uint32_t channel,
                                                      uint32_t flags, void* buffer, uint64_t length,
                                                      uint64_t localAddress);
/** The caller's buffer to card memory at a 32-bit local address; waits. Statuses: \ref veltra_dma.
 */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteDMA(VELTRA_HANDLE hCard, uint32_t channel,
                                                     uint32_t flags, const void* buffer,
                                                     uint64_t length, uint32_t localAddress);
/** The caller's buffer to card memory at a 64-bit local address; waits. Statuses: \ref veltra_dma.
 */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteDMAEx(VELTRA_HANDLE hCard, uint32_t channel,
                                                       uint32_t flags, const void* buffer,
                                                       uint64_t length, uint64_t localAddress);
/** Card memory at a 32-bit local address to a locked buffer from `offset`; waits. Statuses: \ref
 * veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadDMALocked(VELTRA_HANDLE hCard, uint32_t channel,
                                                          uint32_t flags, uint32_t hBuffer,
                                                          uint64_t offset, uint64_t length,
                                                          uint32_t localAddress);
/** Card memory at a 64-bit local address to a locked buffer from `offset`; waits. Statuses: \ref
 * veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadDMALockedEx(VELTRA_HANDLE hCard, uint32_t channel,
                                                            uint32_t flags, uint32_t hBuffer,
                                                            uint64_t offset, uint64_t length,
                                                            uint64_t localAddress);
/** A locked buffer from `offset` to card memory at a 32-bit local address; waits. Statuses: \ref
 * veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteDMALocked(VELTRA_HANDLE hCard, uint32_t channel,
                                                           uint32_t flags, uint32_t hBuffer,
                                                           uint64_t offset, uint64_t length,
                                                           uint32_t localAddress);
/** A locked buffer from `offset` to card memory at a 64-bit local address; waits. Statuses: \ref
 * veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteDMALockedEx(VELTRA_HANDLE hCard, uint32_t channel,
                                                             uint32_t flags, uint32_t hBuffer,
                                                             uint64_t offset, uint64_t length,
                                                             uint64_t localAddress);
/** The Bus forms take the local address before the length. */
/** Card memory to a bus address; waits. The local address comes before the length. Statuses: \ref
 * veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadDMABus(VELTRA_HANDLE hCard, uint32_t channel,
                                                       uint32_t flags, uint64_t busAddress,
                                                       uint64_t localAddress, uint64_t length);
/** A bus address to card memory; waits. The local address comes before the length. Statuses: \ref
 * veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteDMABus(VELTRA_HANDLE hCard, uint32_t channel,
                                                        uint32_t flags, uint64_t busAddress,
                                                        uint64_t localAddress, uint64_t length);

/** Card memory at a 32-bit local address to the caller's buffer without waiting. Statuses: \ref
 * veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartReadDMA(VELTRA_HANDLE hCard,
                                                         LPOVERLAPPED pOverlapped, uint32_t channel,
                                                         uint32_t flags, void* buffer,
                                                         uint64_t length, uint32_t localAddress);
/** Card memory at a 64-bit local address to the caller's buffer without waiting. Statuses: \ref
 * veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartReadDMAEx(VELTRA_HANDLE hCard,
                                                           LPOVERLAPPED pOverlapped,
                                                           uint32_t channel, uint32_t flags,
                                                           void* buffer, uint64_t length,
                                                           uint64_t localAddress);
/** The caller's buffer to card memory at a 32-bit local address without waiting. Statuses: \ref
 * veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartWriteDMA(VELTRA_HANDLE hCard,
                                                          LPOVERLAPPED pOverlapped,
                                                          uint32_t channel, uint32_t flags,
                                                          const void* buffer, uint64_t length,
                                                          uint32_t localAddress);
/** The caller's buffer to card memory at a 64-bit local address without waiting. Statuses: \ref
 * veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartWriteDMAEx(VELTRA_HANDLE hCard,
                                                            LPOVERLAPPED pOverlapped,
                                                            uint32_t channel, uint32_t flags,
                                                            const void* buffer, uint64_t length,
                                                            uint64_t localAddress);
/** Card memory at a 32-bit local address to a locked buffer from `offset` without waiting.
 * Statuses: \ref veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartReadDMALocked(
    VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, uint32_t channel, uint32_t flags,
    uint32_t hBuffer, uint64_t offset, uint64_t length, uint32_t localAddress);
/** Card memory at a 64-bit local address to a locked buffer from `offset` without waiting.
 * Statuses: \ref veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartReadDMALockedEx(
    VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, uint32_t channel, uint32_t flags,
    uint32_t hBuffer, uint64_t offset, uint64_t length, uint64_t localAddress);
/** A locked buffer from `offset` to card memory at a 32-bit local address without waiting.
 * Statuses: \ref veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartWriteDMALocked(
    VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, uint32_t channel, uint32_t flags,
    uint32_t hBuffer, uint64_t offset, uint64_t length, uint32_t localAddress);
/** A locked buffer from `offset` to card memory at a 64-bit local address without waiting.
 * Statuses: \ref veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartWriteDMALockedEx(
    VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, uint32_t channel, uint32_t flags,
    uint32_t hBuffer, uint64_t offset, uint64_t length, uint64_t localAddress);
/** Card memory to a bus address without waiting. The local address comes before the length.
 * Statuses: \ref veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartReadDMABus(VELTRA_HANDLE hCard,
                                                            LPOVERLAPPED pOverlapped,
                                                            uint32_t channel, uint32_t flags,
                                                            uint64_t busAddress,
                                                            uint64_t localAddress, uint64_t length);
/** A bus address to card memory without waiting. The local address comes before the length.
 * Statuses: \ref veltra_dma. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartWriteDMABus(
    VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, uint32_t channel, uint32_t flags,
    uint64_t busAddress, uint64_t localAddress, uint64_t length);

/* ------------------------------------------------------------------------
 * Buffer locking
 */

/** Locks a host buffer for DMA and returns its handle for the Locked forms.
 * The memory must stay valid until VELTRA_Unlock() with that handle succeeds
 * or the device handle closes, which releases its buffers.
 * \retval VELTRA_NULL_POINTER     phBuffer is NULL (nothing sent)
 * \retval VELTRA_INVALID_BUFFER   a NULL buffer or a length of 0 (the driver's verdict)
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Lock(VELTRA_HANDLE hCard, void* buffer, uint64_t length,
                                                 uint32_t* phBuffer);
/** Releases a buffer locked with VELTRA_Lock().
 * \retval VELTRA_INVALID_BUFFER_HANDLE  the driver does not know hBuffer
 * \retval VELTRA_NOT_OWNER              hBuffer was locked through another
 *                                      device handle
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Unlock(VELTRA_HANDLE hCard, uint32_t hBuffer);

/* ------------------------------------------------------------------------
 * Notifications
 */

/** Starts a wait for card notification `notification` on `pOverlapped`,
 * finished with VELTRA_FinishNotificationWait() on the same OVERLAPPED,
 * which must stay untouched until then. Never waits for the card.
 * \retval VELTRA_PENDING       the wait is outstanding
 * \retval VELTRA_SUCCESS      the notification was already there
 * \retval VELTRA_NULL_POINTER  pOverlapped is NULL (nothing sent)
 * \return otherwise the request's status (\ref veltra_request_statuses);
 *         nothing was started. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartNotificationWait(VELTRA_HANDLE hCard,
                                                                  LPOVERLAPPED pOverlapped,
                                                                  uint32_t notification);
/** Has the driver signal an event of the application whenever the
 * notification is raised, until it is unregistered or the device handle
 * closes.
 * \retval VELTRA_BUSY            the event is already registered for this
 *                                notification on this handle
 * \retval VELTRA_INVALID_HANDLE  hEvent is not an event (or hCard not open)
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_RegisterWin32Event(VELTRA_HANDLE hCard,
                                                               uint32_t notification,
                                                               HANDLE hEvent);
/** Ends a registration made with VELTRA_RegisterWin32Event().
 * \retval VELTRA_CANCEL_FAILED  no such registration on this handle
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_UnregisterWin32Event(VELTRA_HANDLE hCard,
                                                                 uint32_t notification,
                                                                 HANDLE hEvent);

/* ------------------------------------------------------------------------
 * Non-blocking operations and cancellation
 */

/** Completes an operation started by a Start export on `pOverlapped`: waits
 * for it when bWait is nonzero (blocking the thread until it ends), else
 * only looks. Exported a second time as VELTRA_FinishNotificationWait().
 * \retval VELTRA_SUCCESS        the operation has finished well
 * \retval VELTRA_PENDING        still in progress (bWait zero)
 * \retval VELTRA_CANCELLED      it was cancelled (VELTRA_Cancel() or a close)
 * \retval VELTRA_NULL_POINTER   pOverlapped is NULL
 * \return otherwise the operation's own failure status (\ref veltra_dma). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_FinishDMA(VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped,
                                                      int32_t bWait);
/** The same entry point as VELTRA_FinishDMA(), for a notification wait. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_FinishNotificationWait(VELTRA_HANDLE hCard,
                                                                   LPOVERLAPPED pOverlapped,
                                                                   int32_t bWait);

/** Asks the driver to cancel the outstanding transfers and notification
 * waits of the handle, from any thread; they then finish with
 * #VELTRA_CANCELLED. Mappings are not affected.
 * \retval VELTRA_CANCEL_FAILED  there was nothing to cancel
 * \return otherwise the request's status (\ref veltra_request_statuses). */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Cancel(VELTRA_HANDLE hCard);

#ifdef __cplusplus
}
#endif

#endif /* VELTRA_H */
