/*
 * KSVHidWatch: notice modules that arrive and leave, without polling KSVHidApi.
 *
 * A companion of KSVHidApi (libKSVHidWatch.so, KSVHidWatch.dll). It reports the modules of one
 * module mode as events, one per call of KSVHidWatchNext, which waits up to a time limit:
 *
 *   KSVHidWatchHandle w;
 *   if (KSVHidWatchOpen(0, &w) == 1) {
 *     KSVHidWatchEvent e;
 *     while (KSVHidWatchNext(w, 1000, &e) >= 0) { ... }   // 1: event in e, 0: time-out
 *     KSVHidWatchClose(w);
 *   }
 *
 * The first events are "arrived" for every module present when the watch opened. After that each
 * module that arrives gives one "arrived" and, when it leaves, one "left" with the same IDs and
 * serial number; never twice and never out of order. A module that arrives and leaves between two
 * calls is still reported, as two events. Non-module devices give none.
 *
 * The watch never opens a module for reading or writing, so it never hides one from a walk or an
 * open of KSVHidApi, in this process or another. On Linux it reads the kernel's device events and
 * the facts that sysfs shows; on Windows it listens for the system's device notifications (or,
 * where the system sends none, looks at the list of HID interfaces four times a second) and reads
 * IDs and serial numbers through an open without read or write access. KSVHidWatchMethod names
 * the way a watch took.
 *
 * Threads: one KSVHidWatchNext at a time per watch (a second one at the same time returns
 * KSVHID_WATCH_BUSY). KSVHidWatchClose may be called from any thread: a KSVHidWatchNext waiting on
 * another thread then returns KSVHID_WATCH_CLOSED at once, and Close returns after it has.
 * A handle is not used again after Close; a call with a closed handle returns KSVHID_WATCH_CLOSED.
 */
#ifndef KSVHIDWATCH_H
#define KSVHIDWATCH_H

#ifdef _WIN32
#define KSVHID_WATCH_CALL __stdcall
#else
#define KSVHID_WATCH_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A watch, as KSVHidWatchOpen hands it out; null is no watch. */
typedef struct KSVHidWatch *KSVHidWatchHandle;

/* Event kinds. */
#define KSVHID_WATCH_ARRIVED 1
#define KSVHID_WATCH_LEFT 2

/* Whether a module was free when it arrived (the `free` field). */
#define KSVHID_WATCH_FREE 1       /* no other holder: an open of KSVHidApi can take it */
#define KSVHID_WATCH_HELD 0       /* held open by a program (this one included) */
#define KSVHID_WATCH_UNKNOWN (-1) /* the system cannot tell without an open (Windows) */

/* Results below zero. */
#define KSVHID_WATCH_BAD_MODE (-1) /* Open: the mode is not 0..3 */
#define KSVHID_WATCH_FAILED (-2)   /* the system refused (no memory, no event source, ...) */
#define KSVHID_WATCH_CLOSED (-3)   /* Next: the watch is closed or being closed */
#define KSVHID_WATCH_BUSY (-4)     /* Next: another Next on this watch is running */

#define KSVHID_WATCH_SERIAL_BYTES 256

/* One event. For "left", the IDs, serial number and `free` are those the module arrived with. */
typedef struct KSVHidWatchEvent {
  int kind; /* KSVHID_WATCH_ARRIVED or KSVHID_WATCH_LEFT */
  int free; /* KSVHID_WATCH_FREE, _HELD or _UNKNOWN, at arrival */
  unsigned short vendor_id;
  unsigned short product_id;
  /* Zero-terminated, narrowed as GetKestrovanHIDName narrows it; empty when unreadable. */
  char serial[KSVHID_WATCH_SERIAL_BYTES];
} KSVHidWatchEvent;

/* Starts watching for the modules of `mode` (0..3, as SetModuleMode selects them; the
 * process-wide mode of KSVHidApi is neither read nor changed). 1 with the watch in `*watch`;
 * KSVHID_WATCH_BAD_MODE or KSVHID_WATCH_FAILED with nothing stored. */
int KSVHID_WATCH_CALL KSVHidWatchOpen(int mode, KSVHidWatchHandle *watch);

/* Waits up to `timeout_ms` (negative: without limit) for the next event: 1 with it in `*event`,
 * 0 when the time ran out, or a negative result (KSVHID_WATCH_CLOSED, _BUSY, _FAILED). */
int KSVHID_WATCH_CALL KSVHidWatchNext(KSVHidWatchHandle watch, int timeout_ms,
                                      KSVHidWatchEvent *event);

/* Ends the watch: a Next waiting on another thread returns KSVHID_WATCH_CLOSED, and everything
 * the watch holds is released before Close returns. 1, or 0 for null or a closed handle. */
int KSVHID_WATCH_CALL KSVHidWatchClose(KSVHidWatchHandle watch);

/* How the watch learns of changes: "netlink" (Linux kernel device events),
 * "RegisterDeviceNotification" or "poll" (Windows). Null for null or a closed handle. */
const char *KSVHID_WATCH_CALL KSVHidWatchMethod(KSVHidWatchHandle watch);

#ifdef __cplusplus
}
#endif

#endif /* KSVHIDWATCH_H */
