/**
 * \file kesta.h
 * The KESTA bridge-device API.
 *
 * An application opens the bridge device of a card by its index with
 * KESTA_Open() and passes the handle to the other exports: the card's 64-bit
 * unique identifier, production-test information, interrupt servicing, and
 * scheduling, aborting and querying an FPGA self-reconfiguration (IPROG).
 * Every export that does not return text returns a #KESTA_STATUS:
 * #KESTA_SUCCESS (0) or a failure code from 512 to 531, which the driver also
 * uses. No export throws, and output parameters are written on success only.
 *
 * The library comes in a free build (kesta) and a checked build (kestad)
 * that also writes trace lines to the debugger output. The header is plain
 * C99 (it compiles with -std=c99 -pedantic) and C++.
 *
 * \section kesta_request_statuses Statuses of every driver request
 * Every export but KESTA_Open(), KESTA_Close() and the status texts is one
 * request to the driver. Besides the statuses it lists, each may return:
 * - a status of the driver, as it judges the request;
 * - #KESTA_INVALID_HANDLE: hCard is not an open device handle;
 * - #KESTA_CANCELLED: the request was ended by closing the handle;
 * - #KESTA_NO_MEMORY: the calling thread's per-thread record (an event for
 *   its requests) could not be made;
 * - #KESTA_UNEXPECTED_ERROR: any other failure of the system, such as a card
 *   that has been removed.
 *
 * \section kesta_threads Threads and blocking
 * Every export may be called from any thread, and one handle may be used
 * from several threads at once: each thread waits on its own event and the
 * library takes no lock. Every request blocks its thread until the driver
 * answers. Close a handle only when no other thread may still use it.
 *
 * \section kesta_driver_values Values that the driver defines
 * The production-test record and the IPROG values are the driver's; the
 * library copies them as the driver sends them. What the simulated driver
 * puts in them is described in the package's README (installed as
 * share/doc/veltra/README.md), section "The default simulated machine".
 */
#ifndef KESTA_H
#define KESTA_H

#include <windows.h>

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Marks an export of the library: imported from the DLL on Windows. */
#if defined(_WIN32)
#if defined(KESTA_BUILDING)
#define KESTA_API
#else
#define KESTA_API __declspec(dllimport)
#endif
#else
#define KESTA_API __attribute__((visibility("default")))
#endif
/** The calling convention of every export (stdcall on 32-bit Windows). */
#define KESTA_CALL WINAPI

/** The result of every export that does not return text. */
typedef uint32_t KESTA_STATUS;

/** An open bridge device: the Win32 handle of its device interface. */
typedef HANDLE KESTA_HANDLE;

/** \name Status codes
 * Each code's name and message (the comment beside it) are the texts of
 * KESTA_GetStatusStringA() and KESTA_GetStatusStringW().
 * @{ */
#define KESTA_SUCCESS 0u            /**< "No error" */
#define KESTA_INTERNAL_ERROR 512u   /**< "An error in the API logic was detected" */
#define KESTA_UNEXPECTED_ERROR 513u /**< "An unexpected error occurred" */
#define KESTA_BAD_DRIVER 514u       /**< "The driver may be incorrectly installed" */
#define KESTA_NO_MEMORY 515u     /**< "Could not allocate memory required to complete operation" */
#define KESTA_ACCESS_DENIED 516u /**< "Caller does not have permission to perform the operation" \
                                  */
#define KESTA_DEVICE_NOT_FOUND 517u  /**< "Failed to open the device with specified CardID" */
#define KESTA_HARDWARE_ERROR 518u    /**< "A hardware error occurred" */
#define KESTA_INVALID_BUFFER 519u    /**< "The supplied buffer was invalid" */
#define KESTA_INVALID_FLAG 520u      /**< "A flag was invalid or not recognized" */
#define KESTA_INVALID_HANDLE 521u    /**< "The device handle was invalid" */
#define KESTA_INVALID_INDEX 522u     /**< "The index parameter was invalid" */
#define KESTA_INVALID_REGION 523u    /**< "The offset and/or length parameter(s) were invalid" */
#define KESTA_NULL_POINTER 524u      /**< "A NULL pointer was passed where NULL was illegal" */
#define KESTA_CANCELLED 525u         /**< "The operation was cancelled" */
#define KESTA_RESOURCE_LIMIT 526u    /**< "A resource limit was reached" */
#define KESTA_REGION_TOO_LARGE 527u  /**< "The region is too large for a single operation" */
#define KESTA_DATATYPE_MISMATCH 528u /**< "The datatype did not match that of the sensor" */
#define KESTA_WRONG_MODE 529u        /**< "The device was not in the proper mode" */
#define KESTA_NOT_SUPPORTED 530u     /**< "The operation is not supported for this device" */
#define KESTA_INVALID_PARAMETER 531u /**< "A parameter had an illegal value" */
/** @} */

/** Production-test information. 16 bytes; the values are the driver's
 * (\ref kesta_driver_values). The number beside each member is its offset. */
typedef struct _KESTA_PROD_TEST_INFO {
    uint32_t testValue0; /**< 0 */
    uint8_t testByte0;   /**< 4 */
    uint8_t testByte1;   /**< 5 */
    uint8_t testByte2;   /**< 6 */
    uint8_t reserved;    /**< 7: always 0 */
    uint32_t testValue1; /**< 8 */
    uint32_t testValue2; /**< 12 */
} KESTA_PROD_TEST_INFO;

/** Opens the bridge device of card `index`; bReadOnly nonzero opens with
 * read-data access only. When bit 0 of `flags` is set, the whole value goes
 * to the driver right after opening; if the driver refuses it, the new handle
 * is closed again, *phCard is left untouched and the driver's status
 * (for example #KESTA_INVALID_FLAG) is returned.
 * \retval KESTA_SUCCESS            the device is open
 * \retval KESTA_NULL_POINTER       phCard is NULL
 * \retval KESTA_DEVICE_NOT_FOUND   no card has that index
 * \retval KESTA_ACCESS_DENIED      the device refused the open
 * \retval KESTA_NO_MEMORY          the library ran out of memory
 * \retval KESTA_UNEXPECTED_ERROR   any other failure
 * \return with bit 0 of flags set, also the request's status
 *         (\ref kesta_request_statuses). */
KESTA_API KESTA_STATUS KESTA_CALL KESTA_Open(uint32_t index, int32_t bReadOnly, uint32_t flags,
                                             KESTA_HANDLE* phCard);

/** Closes a handle from KESTA_Open().
 * \retval KESTA_SUCCESS           closed
 * \retval KESTA_INVALID_HANDLE    hCard is not an open handle
 * \retval KESTA_UNEXPECTED_ERROR  the close failed for another reason */
KESTA_API KESTA_STATUS KESTA_CALL KESTA_Close(KESTA_HANDLE hCard);

/** The name (bShort nonzero) or the message (bShort zero) of a status code; a
 * code outside the table gives "Unknown status code %lu(0x%lx)", kept per
 * thread until the same thread asks again for an unknown code. Never NULL;
 * never freed. Sends no request and cannot fail. */
KESTA_API const char* KESTA_CALL KESTA_GetStatusStringA(KESTA_STATUS code, int32_t bShort);
/** The wide form of KESTA_GetStatusStringA(). It returns the calling
 * thread's one wide buffer, rewritten by its next call (for any code). */
KESTA_API const WCHAR* KESTA_CALL KESTA_GetStatusStringW(KESTA_STATUS code, int32_t bShort);

/** The card's 64-bit unique identifier.
 * \retval KESTA_NULL_POINTER  pUniqueId is NULL (nothing sent)
 * \return otherwise the request's status (\ref kesta_request_statuses). */
KESTA_API KESTA_STATUS KESTA_CALL KESTA_GetUniqueId(KESTA_HANDLE hCard, uint64_t* pUniqueId);

/** The card's production-test record.
 * \retval KESTA_NULL_POINTER  pInfo is NULL (nothing sent)
 * \return otherwise the request's status (\ref kesta_request_statuses). */
KESTA_API KESTA_STATUS KESTA_CALL KESTA_GetProdTestInfo(KESTA_HANDLE hCard,
                                                        KESTA_PROD_TEST_INFO* pInfo);

/** Services the bridge's interrupt: *pbServiced (optional) receives 1 if there
 * was one to service, else 0. The request is sent whatever pbServiced is.
 * \return the request's status (\ref kesta_request_statuses). */
KESTA_API KESTA_STATUS KESTA_CALL KESTA_ServiceIRQ(KESTA_HANDLE hCard, uint32_t* pbServiced);

/** Schedules a reconfiguration of the FPGA from flash `address` (IPROG
 * `index`); the flags, address and value go to the driver, which judges them.
 * \retval KESTA_INVALID_INDEX      no such IPROG slot
 * \retval KESTA_INVALID_FLAG       flags the driver does not know
 * \retval KESTA_INVALID_PARAMETER  an address the driver refuses
 * \retval KESTA_WRONG_MODE         the slot is already scheduled
 * \return otherwise the request's status (\ref kesta_request_statuses). */
KESTA_API KESTA_STATUS KESTA_CALL KESTA_ScheduleIPROG(KESTA_HANDLE hCard, uint32_t index,
                                                      uint32_t flags, uint64_t address,
                                                      uint32_t value);
/** Aborts the scheduled reconfiguration of IPROG `index`.
 * \retval KESTA_INVALID_INDEX  no such IPROG slot
 * \retval KESTA_WRONG_MODE     the slot is not scheduled
 * \return otherwise the request's status (\ref kesta_request_statuses). */
KESTA_API KESTA_STATUS KESTA_CALL KESTA_AbortIPROG(KESTA_HANDLE hCard, uint32_t index);

/** The state of IPROG `index`: each output is optional and written on
 * success only. The request is sent whatever the pointers are.
 * \retval KESTA_INVALID_INDEX  no such IPROG slot
 * \return otherwise the request's status (\ref kesta_request_statuses). */
KESTA_API KESTA_STATUS KESTA_CALL KESTA_StatusIPROG(KESTA_HANDLE hCard, uint32_t index,
                                                    uint32_t* pStatus, uint64_t* pAddress,
                                                    uint32_t* pValue);

#ifdef __cplusplus
}
#endif

#endif /* KESTA_H */
