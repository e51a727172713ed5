/*
 * veltra.h - the VELTRA card API.
 *
 * An application opens a card by its index with VELTRA_Open and passes the
 * returned handle to every other export. Every export that does not return
 * text returns a VELTRA_STATUS: VELTRA_SUCCESS (0) or a failure code from
 * 256 to 285. Codes from the KESTA driver use the same numbering, so any
 * export may also return a status that the driver reports. No export throws,
 * and output parameters are written on success only.
 *
 * The library comes in a free build (veltra) and a checked build (veltrad)
 * that also writes trace lines to the debugger output and checks assertions.
 *
 * Plain C (C99) and C++.
 */
#ifndef VELTRA_H
#define VELTRA_H

#include <windows.h>

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(VELTRA_BUILDING)
#define VELTRA_API
#else
#define VELTRA_API __declspec(dllimport)
#endif
#else
#define VELTRA_API __attribute__((visibility("default")))
#endif
#define VELTRA_CALL WINAPI

/* The result of every export that does not return text. */
typedef uint32_t VELTRA_STATUS;

/* An open card: the Win32 handle of its device interface. */
typedef HANDLE VELTRA_HANDLE;

/* Status codes. Their names and messages are the texts of
 * VELTRA_GetStatusStringA/W. */
#define VELTRA_SUCCESS 0u            /* "No error" */
#define VELTRA_INTERNAL_ERROR 256u   /* "An error in the API logic was detected" */
#define VELTRA_UNEXPECTED_ERROR 257u /* "An unexpected error occurred" */
#define VELTRA_BAD_DRIVER 258u       /* "The driver may be incorrectly installed" */
#define VELTRA_NO_MEMORY 259u     /* "Could not allocate memory required to complete operation" */
#define VELTRA_ACCESS_DENIED 260u /* "Caller does not have permission to perform the operation" */
#define VELTRA_DEVICE_NOT_FOUND 261u /* "Failed to open the device with specified CardID" */
#define VELTRA_FILE_NOT_FOUND 262u   /* "Failed to open the specified bitstream file" */
#define VELTRA_HARDWARE_ERROR 263u   /* "A hardware error occurred" */
#define VELTRA_FPGA_MISMATCH \
    264u /* "The FPGA on the card did not match that of the bitstream file" */
#define VELTRA_INVALID_BITSTREAM 265u /* "The bitstream file was corrupt" */
#define VELTRA_INVALID_BUFFER 266u    /* "The supplied buffer was invalid" */
#define VELTRA_INVALID_FLAG 267u      /* "A flag was invalid or not recognized" */
#define VELTRA_INVALID_FREQUENCY 268u /* "The frequency was invalid" */
#define VELTRA_INVALID_HANDLE 269u    /* "The device handle was invalid" */
#define VELTRA_INVALID_INDEX 270u     /* "The index parameter was invalid" */
#define VELTRA_INVALID_REGION 271u    /* "The offset and/or length parameter(s) were invalid" */
#define VELTRA_NULL_POINTER 272u      /* "A NULL pointer was passed where NULL was illegal" */
#define VELTRA_BUSY 273u              /* "There is already an operation in progress" */
#define VELTRA_CANCEL_FAILED 274u     /* "There is nothing to cancel" */
#define VELTRA_CANCELLED 275u         /* "The operation was cancelled" */
#define VELTRA_RESOURCE_LIMIT 276u    /* "A resource limit was reached" */
#define VELTRA_REGION_TOO_LARGE 277u  /* "The region is too large for a single operation" */
#define VELTRA_MUST_WAIT 278u         /* "The operation could not be started immediately" */
#define VELTRA_NOT_OWNER 279u         /* "The buffer handle belongs to a different device handle" */
#define VELTRA_PENDING 280u           /* "The non-blocking operation is now in progress" */
#define VELTRA_NONBLOCK_IDLE 281u     /* "There is no non-blocking operation to finish" */
#define VELTRA_INVALID_BUFFER_HANDLE 282u /* "The buffer handle is invalid" */
#define VELTRA_INVALID_LOCAL_REGION 283u  /* "The local address region is invalid" */
#define VELTRA_DATATYPE_MISMATCH 284u     /* "The datatype did not match that of the sensor" */
#define VELTRA_NOT_SUPPORTED 285u /* "The hardware does not support the requested operation" */

/* ------------------------------------------------------------------------
 * Opening and closing
 */

/* Opens card `index` for reading and writing; the same as VELTRA_OpenEx with
 * bReadOnly 0 and flags 0.
 *   VELTRA_NULL_POINTER      phCard is NULL (nothing is opened)
 *   VELTRA_DEVICE_NOT_FOUND  no card has that index
 *   VELTRA_ACCESS_DENIED     the device refused the open
 *   VELTRA_NO_MEMORY         the library ran out of memory
 *   VELTRA_UNEXPECTED_ERROR  any other failure
 * On success *phCard receives the handle. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Open(uint32_t index, VELTRA_HANDLE* phCard);

/* As VELTRA_Open; a nonzero bReadOnly opens with read-data access only. When
 * bit 0 of `flags` is set, the whole value is passed to the driver right
 * after opening; if the driver refuses it, the new handle is closed again,
 * *phCard is left untouched and the driver's status (for example
 * VELTRA_INVALID_FLAG) is returned. Other bits alone send nothing. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_OpenEx(uint32_t index, int32_t bReadOnly,
                                                   uint32_t flags, VELTRA_HANDLE* phCard);

/* Unmaps every region mapped through the handle, then closes it.
 *   VELTRA_INVALID_HANDLE    hCard is not an open handle
 *   VELTRA_UNEXPECTED_ERROR  the close failed for another reason */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Close(VELTRA_HANDLE hCard);

/* ------------------------------------------------------------------------
 * Status texts
 */

/* The name (bShort nonzero, e.g. "VELTRA_INVALID_HANDLE") or the message
 * (bShort zero) of a status code. A code outside the table gives "Unknown
 * status code %lu(0x%lx)"; that text is kept per thread and is valid until
 * the same thread asks again for an unknown code. Never NULL; never freed. */
VELTRA_API const char* VELTRA_CALL VELTRA_GetStatusStringA(VELTRA_STATUS code, int32_t bShort);
VELTRA_API const WCHAR* VELTRA_CALL VELTRA_GetStatusStringW(VELTRA_STATUS code, int32_t bShort);

/* ------------------------------------------------------------------------
 * Non-blocking operations and cancellation
 */

/* Completes an operation started by a Start export on `pOverlapped`: waits
 * for it when bWait is nonzero, else only looks. Exported a second time as
 * VELTRA_FinishNotificationWait.
 *   VELTRA_SUCCESS           the operation has finished well
 *   VELTRA_PENDING           still in progress (bWait zero)
 *   VELTRA_CANCELLED         it was cancelled (VELTRA_Cancel)
 *   VELTRA_NULL_POINTER      pOverlapped is NULL
 *   or the operation's own failure status. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_FinishDMA(VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped,
                                                      int32_t bWait);
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_FinishNotificationWait(VELTRA_HANDLE hCard,
                                                                   LPOVERLAPPED pOverlapped,
                                                                   int32_t bWait);

/* Asks the driver to cancel the outstanding operations of the handle; they
 * then finish with VELTRA_CANCELLED. VELTRA_CANCEL_FAILED if there was
 * nothing to cancel. */
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Cancel(VELTRA_HANDLE hCard);

#ifdef __cplusplus
}
#endif

#endif /* VELTRA_H */
