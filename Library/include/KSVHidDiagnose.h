/*
 * KSVHidDiagnose: why a HID interface is, or is not, listed as a module.
 *
 * A companion of KSVHidApi (libKSVHidDiagnose.so, KSVHidDiagnose.dll) for tools that explain what
 * a walk sees; ksvhid diagnose is built on it. It runs the walk of KSVHidApi over every HID
 * interface present, past the 64th too, and reports for each one whether the walk takes it for a
 * module under a module mode and, when it is not listed, why:
 *
 *   KSVHidDiagnosis *d;
 *   unsigned int i;
 *   if (KSVHidDiagnose(0, &d) == 1) {
 *     for (i = 0; i < d->interface_count; ++i)
 *       printf("%u %s %d\n", d->interfaces[i].index, d->interfaces[i].path,
 * d->interfaces[i].reason); KSVHidDiagnosisFree(d);
 *   }
 *
 * It examines interfaces as a walk does: on Linux it opens no module to do so, on Windows it opens
 * each candidate once under the machine-wide walk lock. An interface whose open was refused while
 * it looked is opened once more, the same way, to learn the system's reason, and closed at once.
 * The simulator library's folder holds a KSVHidDiagnose of its own, over simulated modules read
 * as the simulator library reads them but held apart from its own: a module opened through the
 * simulator library is not shown as held there.
 *
 * Threads: any thread; calls of KSVHidDiagnose in one process run one at a time.
 */
#ifndef KSVHIDDIAGNOSE_H
#define KSVHIDDIAGNOSE_H

#ifdef _WIN32
#define KSVHID_DIAGNOSE_CALL __stdcall
#else
#define KSVHID_DIAGNOSE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Why an interface is not listed: the `reason` of its report. */
#define KSVHID_REASON_NONE 0              /* a module, listed with its serial number */
#define KSVHID_REASON_SERIAL_UNREADABLE 1 /* a module, counted, but neither named nor opened */
#define KSVHID_REASON_OTHER_IDS 2         /* its vendor:product is not one the mode takes */
#define KSVHID_REASON_IDS_UNREADABLE 3    /* it opens, but its IDs cannot be read */
#define KSVHID_REASON_ACCESS_DENIED 4     /* this user may not open it */
#define KSVHID_REASON_IN_USE 5            /* another program holds it open */
#define KSVHID_REASON_OPEN_REFUSED 6      /* the open fails for another reason (open_error) */
#define KSVHID_REASON_BUSY_MOMENT 7       /* refused while the walk looked, opens now */
#define KSVHID_REASON_PATH_UNREADABLE 8   /* its list entry or device path cannot be had */
#define KSVHID_REASON_PATH_TOO_LONG 9     /* a path longer than path_units_limit */
#define KSVHID_REASON_PAST_BOUND 10       /* at index_bound or later: the walk never reaches it */

/* Results of KSVHidDiagnose other than 1. */
#define KSVHID_DIAGNOSE_BAD_MODE (-1) /* the mode is not 0..3 */
#define KSVHID_DIAGNOSE_FAILED (-2)   /* the interfaces cannot be listed, or no memory */

#define KSVHID_DIAGNOSE_SERIAL_BYTES 256

/* One HID interface, as the walk sees it. */
typedef struct KSVHidInterfaceReport {
  unsigned int index; /* in walk order, from 0 */
  const char *path;   /* UTF-8; empty when it cannot be read */
  int ids_known;      /* 1: vendor_id and product_id hold the device's IDs */
  unsigned short vendor_id;
  unsigned short product_id;
  int serial_known; /* 1: serial holds the serial number text */
  /* Zero-terminated, narrowed as GetKestrovanHIDName narrows it. */
  char serial[KSVHID_DIAGNOSE_SERIAL_BYTES];
  int module;                 /* 1: the walk counts it as a module in this mode */
  int reason;                 /* KSVHID_REASON_... */
  unsigned int open_error;    /* ACCESS_DENIED, IN_USE, OPEN_REFUSED: the Windows-numbered error */
  int holder_pid;             /* IN_USE: the process that holds it, where the system says; else 0 */
  const char *holder_command; /* its command line, or its name; empty when unknown */
} KSVHidInterfaceReport;

/* Every HID interface present, and what the mode takes. */
typedef struct KSVHidDiagnosis {
  int mode;
  unsigned int wanted_count; /* the vendor:product pairs the mode takes, 1 or 2 */
  unsigned short wanted_vendor[2];
  unsigned short wanted_product[2];
  unsigned int index_bound;      /* interfaces from this index on are never reached (64) */
  unsigned int path_units_limit; /* the longest device path a walk takes, in UTF-16 units */
  unsigned int module_count;
  unsigned int interface_count;
  const KSVHidInterfaceReport *interfaces; /* interface_count reports, in walk order */
} KSVHidDiagnosis;

/* Looks at every HID interface present under `mode` (0..3, as SetModuleMode selects them; the
 * process-wide mode of KSVHidApi is neither read nor changed). 1 with the diagnosis in
 * `*diagnosis`, to be handed to KSVHidDiagnosisFree; KSVHID_DIAGNOSE_BAD_MODE or
 * KSVHID_DIAGNOSE_FAILED with nothing stored. */
int KSVHID_DIAGNOSE_CALL KSVHidDiagnose(int mode, KSVHidDiagnosis **diagnosis);

/* Releases a diagnosis and everything it points to. 1, or 0 for null or a pointer that is not a
 * diagnosis of this library still held (nothing is released). */
int KSVHID_DIAGNOSE_CALL KSVHidDiagnosisFree(KSVHidDiagnosis *diagnosis);

#ifdef __cplusplus
}
#endif

#endif /* KSVHIDDIAGNOSE_H */
