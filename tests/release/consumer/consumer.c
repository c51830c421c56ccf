/* A host application as a user of a released package writes it: the version, the modules that are
 * listed, then one exchange with the module named (KSV-SIM-0001 unless given). It prints what it
 * saw, one fact a line, for the release checks to compare, and exits 0 only when every call
 * behaved and the exchange gave report ID 1 (result 1).
 *
 * Built three ways: with the C library and main() (mingw and Linux consumers), and with
 * KSV_CONSUMER_NO_CRT for an MSVC-ABI program that links nothing but the library's import library
 * and the system's kernel32: no C runtime, so the output goes through WriteFile. */
#include <KSVHidApi.h>

typedef void (*say_fn)(const char *text);

static void say_number(say_fn say, const char *label, int value) {
  char text[16];
  char *p = text + sizeof text;
  unsigned magnitude = value < 0 ? 0u - (unsigned)value : (unsigned)value;
  *--p = '\0';
  *--p = '\n';
  do {
    *--p = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    *--p = '-';
  }
  say(label);
  say(p);
}

/* The first BYTES bytes of REPLY in hex, as "11 21 31 01". */
static void say_bytes(say_fn say, const char *label, const char *reply, int bytes) {
  static const char digits[] = "0123456789abcdef";
  char text[3 * 8 + 1];
  int i;
  for (i = 0; i < bytes && i < 8; ++i) {
    text[3 * i] = digits[((unsigned char)reply[i]) >> 4];
    text[3 * i + 1] = digits[((unsigned char)reply[i]) & 15];
    text[3 * i + 2] = i + 1 < bytes ? ' ' : '\n';
  }
  text[3 * i] = '\0';
  say(label);
  say(text);
}

static int run_consumer(say_fn say, const char *serial) {
  int major = 0;
  int minor = 0;
  int build = 0;
  int count;
  int ordinal;
  int result;
  int i;
  char name[KSVHID_SERIAL_BUFFER_BYTES];
  char command[KSVHID_COMMAND_BYTES];
  char reply[KSVHID_REPLY_BYTES];
  KSVHidHandle handle = 0;

  if (GetKestrovanHIDversion(&major, &minor, &build) != 1) {
    say("GetKestrovanHIDversion failed\n");
    return 1;
  }
  say_number(say, "major ", major);
  say_number(say, "minor ", minor);
  say_number(say, "build ", build);
  count = GetKestrovanHIDnumber();
  say_number(say, "modules ", count);
  for (ordinal = 0; ordinal < count; ++ordinal) {
    if (GetKestrovanHIDName(ordinal, name) == 1) {
      say("module ");
      say(name);
      say("\n");
    }
  }
  if (OpenKestrovanHID(&handle, serial) != 1) {
    say("open failed: ");
    say(serial);
    say("\n");
    return 1;
  }
  for (i = 0; i < KSVHID_COMMAND_BYTES; ++i) {
    command[i] = 0;
  }
  command[0] = 0x10;
  command[1] = 0x20;
  command[2] = 0x30;
  result = SendReceiveKestrovanHID(handle, command, reply);
  say_number(say, "result ", result);
  if (result == 1) {
    say_bytes(say, "reply ", reply, 4);
  }
  if (CloseKestrovanHID(handle) != 1) {
    say("close failed\n");
    return 1;
  }
  return result == 1 ? 0 : 1;
}

#ifdef KSV_CONSUMER_NO_CRT

/* The three kernel32 functions this program needs, declared as the system's headers do. */
#define KSV_WINAPI __stdcall
__declspec(dllimport) void *KSV_WINAPI GetStdHandle(unsigned long which);
__declspec(dllimport) int KSV_WINAPI WriteFile(void *file, const void *data, unsigned long size,
                                               unsigned long *written, void *overlapped);
__declspec(dllimport) void KSV_WINAPI ExitProcess(unsigned int status);

static void say_console(const char *text) {
  unsigned long size = 0;
  unsigned long written = 0;
  while (text[size] != '\0') {
    ++size;
  }
  WriteFile(GetStdHandle((unsigned long)-11), text, size, &written, 0); /* STD_OUTPUT_HANDLE */
}

/* The process's entry point (lld-link /entry:consumer_start): no C runtime runs before it. */
void __cdecl consumer_start(void) {
  ExitProcess((unsigned int)run_consumer(say_console, "KSV-SIM-0001"));
}

#else

#include <stdio.h>

static void say_stdout(const char *text) { fputs(text, stdout); }

int main(int argc, char **argv) {
  int status = run_consumer(say_stdout, argc > 1 ? argv[1] : "KSV-SIM-0001");
  fflush(stdout);
  return status;
}

#endif
