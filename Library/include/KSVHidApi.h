/*
 * KSVHidApi: find and drive measurement modules that attach over USB as HID devices.
 *
 * Usable from C (C89 and later) and C++. Every function returns int. Success is 1 and failure 0,
 * except GetKestrovanHIDnumber (a count) and SendReceiveKestrovanHID (an exchange result, named
 * below as KSVHID_REPORT_ID_1 ... KSVHID_OTHER_ERROR).
 *
 * Threads: any function may be called from any thread. Exchanges on different handles may run at
 * the same time, and one on a module that owes no reply takes no lock; exchanges on one handle
 * must be issued one at a time. Walks (count, name, open) run one at a time within the process
 * and, on Windows, under a machine-wide lock, waited for at most 2.5 s. SetModuleMode may be
 * called at any time and applies from the next device examined or the next reply classified.
 *
 * Buffers: the serial buffer of GetKestrovanHIDName takes up to 256 bytes; the command and reply
 * buffers of SendReceiveKestrovanHID are 63 bytes each. Pointers are not checked for null.
 */
#ifndef KSVHIDAPI_H
#define KSVHIDAPI_H

#ifdef _WIN32
#define KSVHID_CALL __stdcall
#else
#define KSVHID_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A device handle. On Windows it is the HANDLE of the opened HID device. On Linux it is a
 * pointer-sized value that carries the device's file descriptor (descriptor + 1), so that a valid
 * descriptor 0 is never null. On both, null and all-ones ((KSVHidHandle)-1) mean "no device". */
typedef void *KSVHidHandle;

/* Payload sizes of one exchange. */
#define KSVHID_COMMAND_BYTES 63
#define KSVHID_REPLY_BYTES 63
#define KSVHID_SERIAL_BUFFER_BYTES 256

/* Exchange results: what SendReceiveKestrovanHID returns. The reply bytes are written for the
 * first five (KSVHidResultHasReply); -3 .. -14 are the system errors of a failed transfer. */
#define KSVHID_REPORT_ID_1 1
#define KSVHID_REPORT_ID_2 0
#define KSVHID_REPORT_ID_3 3
#define KSVHID_OTHER_REPORT_ID (-15)
#define KSVHID_WRONG_LENGTH (-16)
#define KSVHID_TIMED_OUT (-1)
#define KSVHID_WAIT_FAILED (-2)
#define KSVHID_INVALID_FUNCTION (-3)
#define KSVHID_FILE_NOT_FOUND (-4)
#define KSVHID_PATH_NOT_FOUND (-5)
#define KSVHID_ACCESS_DENIED (-6)
#define KSVHID_INVALID_HANDLE (-7)
#define KSVHID_NOT_ENOUGH_MEMORY (-8)
#define KSVHID_OUT_OF_MEMORY (-9)
#define KSVHID_WRITE_PROTECT (-10)
#define KSVHID_WRITE_FAULT (-11)
#define KSVHID_READ_FAULT (-12)
#define KSVHID_INVALID_PARAMETER (-13)
#define KSVHID_OPEN_FAILED (-14)
#define KSVHID_OTHER_ERROR (-255)

/* Defined here, not exported: the library keeps exactly its seven functions. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define KSVHID_HELPER static inline
#elif defined(__GNUC__)
#define KSVHID_HELPER static __inline__
#elif defined(_MSC_VER)
#define KSVHID_HELPER static __inline
#else
#define KSVHID_HELPER static
#endif
#if defined(__cplusplus) && __cplusplus >= 201103L
#define KSVHID_NO_TEXT nullptr
#else
#define KSVHID_NO_TEXT ((const char *)0)
#endif

/* The result's name without its KSVHID_ prefix ("TIMED_OUT"), and its meaning in a few words
 * ("timed out"); null for a number that is no result. */
KSVHID_HELPER const char *KSVHidResultName(int result) {
  switch (result) {
    case KSVHID_REPORT_ID_1:
      return "REPORT_ID_1";
    case KSVHID_REPORT_ID_2:
      return "REPORT_ID_2";
    case KSVHID_REPORT_ID_3:
      return "REPORT_ID_3";
    case KSVHID_OTHER_REPORT_ID:
      return "OTHER_REPORT_ID";
    case KSVHID_WRONG_LENGTH:
      return "WRONG_LENGTH";
    case KSVHID_TIMED_OUT:
      return "TIMED_OUT";
    case KSVHID_WAIT_FAILED:
      return "WAIT_FAILED";
    case KSVHID_INVALID_FUNCTION:
      return "INVALID_FUNCTION";
    case KSVHID_FILE_NOT_FOUND:
      return "FILE_NOT_FOUND";
    case KSVHID_PATH_NOT_FOUND:
      return "PATH_NOT_FOUND";
    case KSVHID_ACCESS_DENIED:
      return "ACCESS_DENIED";
    case KSVHID_INVALID_HANDLE:
      return "INVALID_HANDLE";
    case KSVHID_NOT_ENOUGH_MEMORY:
      return "NOT_ENOUGH_MEMORY";
    case KSVHID_OUT_OF_MEMORY:
      return "OUT_OF_MEMORY";
    case KSVHID_WRITE_PROTECT:
      return "WRITE_PROTECT";
    case KSVHID_WRITE_FAULT:
      return "WRITE_FAULT";
    case KSVHID_READ_FAULT:
      return "READ_FAULT";
    case KSVHID_INVALID_PARAMETER:
      return "INVALID_PARAMETER";
    case KSVHID_OPEN_FAILED:
      return "OPEN_FAILED";
    case KSVHID_OTHER_ERROR:
      return "OTHER_ERROR";
    default:
      return KSVHID_NO_TEXT;
  }
}

KSVHID_HELPER const char *KSVHidResultMeaning(int result) {
  switch (result) {
    case KSVHID_REPORT_ID_1:
      return "reply (report ID 1)";
    case KSVHID_REPORT_ID_2:
      return "reply (report ID 2)";
    case KSVHID_REPORT_ID_3:
      return "reply (report ID 3)";
    case KSVHID_OTHER_REPORT_ID:
      return "unexpected report ID";
    case KSVHID_WRONG_LENGTH:
      return "wrong reply length";
    case KSVHID_TIMED_OUT:
      return "timed out";
    case KSVHID_WAIT_FAILED:
      return "wait failed";
    case KSVHID_INVALID_FUNCTION:
      return "invalid function";
    case KSVHID_FILE_NOT_FOUND:
      return "file not found";
    case KSVHID_PATH_NOT_FOUND:
      return "path not found";
    case KSVHID_ACCESS_DENIED:
      return "access denied";
    case KSVHID_INVALID_HANDLE:
      return "invalid handle";
    case KSVHID_NOT_ENOUGH_MEMORY:
      return "not enough memory";
    case KSVHID_OUT_OF_MEMORY:
      return "out of memory";
    case KSVHID_WRITE_PROTECT:
      return "write protected";
    case KSVHID_WRITE_FAULT:
      return "write fault";
    case KSVHID_READ_FAULT:
      return "read fault";
    case KSVHID_INVALID_PARAMETER:
      return "invalid parameter";
    case KSVHID_OPEN_FAILED:
      return "open failed";
    case KSVHID_OTHER_ERROR:
      return "other failure";
    default:
      return KSVHID_NO_TEXT;
  }
}

/* 1 when the exchange wrote the 63 reply bytes (a reply arrived), 0 otherwise. */
KSVHID_HELPER int KSVHidResultHasReply(int result) {
  return result == KSVHID_REPORT_ID_1 || result == KSVHID_REPORT_ID_2 ||
         result == KSVHID_REPORT_ID_3 || result == KSVHID_OTHER_REPORT_ID ||
         result == KSVHID_WRONG_LENGTH;
}

/* Number of modules attached now (and not held open by anyone). */
int KSVHID_CALL GetKestrovanHIDnumber(void);

/* Writes the serial number text of the module with this ordinal (0-based, walk order) into
 * `serial` (up to 256 bytes, zero-terminated) and returns 1; returns 0 and leaves it untouched
 * when there is no such module or its serial number cannot be read. */
int KSVHID_CALL GetKestrovanHIDName(int ordinal, char *serial);

/* Opens the first module whose serial number text equals `serial` exactly, stores its handle in
 * `*handle` and returns 1; returns 0 and stores nothing otherwise. The module is opened
 * exclusively: it is invisible to other walks until CloseKestrovanHID. */
int KSVHID_CALL OpenKestrovanHID(KSVHidHandle *handle, const char *serial);

/* Sends 63 command bytes in an output report with ID 1 and waits for one input report, up to
 * 2000 ms for each direction; the 63 reply bytes are written whenever the transfer completed. */
int KSVHID_CALL SendReceiveKestrovanHID(KSVHidHandle handle, const char *command, char *reply);

/* Closes a handle from OpenKestrovanHID: 1, or 0 for a null or all-ones handle. */
int KSVHID_CALL CloseKestrovanHID(KSVHidHandle handle);

/* Writes the library version 1.3.170 and returns 1. */
int KSVHID_CALL GetKestrovanHIDversion(int *major, int *minor, int *build);

/* Selects the module mode 0..3 and returns 1; any other value selects mode 0 and returns 0.
 *   0: vendor 0x17FE or 0x10C4, product 0x82CD; full 64-byte replies required
 *   1: vendor 0x17FE, product 0x8200; replies of any length, report ID 3 accepted
 *   2: vendor 0x17FE, product 0x82CD     3: vendor 0x10C4, product 0x82CD */
int KSVHID_CALL SetModuleMode(int mode);

#ifdef __cplusplus
}
#endif

#endif /* KSVHIDAPI_H */
