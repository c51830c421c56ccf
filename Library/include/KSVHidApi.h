/*
 * KSVHidApi: find and drive measurement modules that attach over USB as HID devices.
 *
 * Usable from C and C++. Every function returns int. Success is 1 and failure 0, except
 * GetKestrovanHIDnumber (a count) and SendReceiveKestrovanHID (an exchange result: 1 reply with
 * report ID 1, 0 report ID 2, 3 report ID 3 in mode 1, -1 time-out, -2 failed wait, -3..-14
 * system errors, -15 other report ID, -16 wrong reply length, -255 anything else).
 *
 * Threads: no call takes a lock. Any function may be called from any thread; exchanges on
 * different handles may run at the same time, but exchanges on one handle must be issued one at a
 * time. SetModuleMode may be called at any time and applies from the next device examined or
 * the next reply classified.
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
