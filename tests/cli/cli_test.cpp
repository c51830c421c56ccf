// ksvhid as a user runs it: each row of the table below is one command line, with the exit status
// and the standard output and standard error it must give. Rows belong to groups; one CTest test
// runs one group:  ksvhid_cli_tests PATH-TO-ksvhid GROUP
//
// The program is built for the target, so in the Windows build it runs under Wine with ksvhid.exe.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "checks.h"

namespace ksv::test {
namespace {

// What one output stream must hold: exactly `text`, or (a pattern) text in which the regular
// expression `text` finds a match.
struct Expect {
  Expect(const char* exact) : text(exact) {}
  Expect(std::string exact) : text(std::move(exact)) {}
  static Expect Pattern(std::string pattern) {
    Expect expect(std::move(pattern));
    expect.pattern = true;
    return expect;
  }
  std::string text;
  bool pattern = false;
};

struct Row {
  const char* group;
  // The arguments, separated by spaces; "" is an empty argument.
  std::string command_line;
  int status;
  Expect out;
  Expect err = "";
  // The round-trip times in the output (min, median, max; normalised to "T" before the output is
  // compared) must ascend, starting at this many milliseconds at least.
  double least_round_trip_ms = 0;
};

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

#ifdef _WIN32

using Handle = std::unique_ptr<void, decltype(&CloseHandle)>;

// A file that the child writes through an inherited handle and that is gone once closed.
Handle TemporaryFile() {
  char folder[MAX_PATH];
  char path[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  GetTempFileNameA(folder, "ksv", 0, path);
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  return Handle(
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                  CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr),
      CloseHandle);
}

std::string Contents(HANDLE file) {
  std::string text;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
  // The C runtime writes "\r\n" for "\n" on a text-mode stream.
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// The rows' command lines follow the C runtime's own rules (spaces separate, "" groups), so they
// are passed on as they are.
Outcome Run(const std::string& program, const std::string& arguments) {
  std::string command_line = '"' + program + "\" " + arguments;
  const Handle out = TemporaryFile();
  const Handle err = TemporaryFile();
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out.get();
  startup.hStdError = err.get();
  PROCESS_INFORMATION process{};
  Outcome outcome;
  if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    outcome.err = "cannot start " + command_line;
    return outcome;
  }
  const Handle process_handle(process.hProcess, CloseHandle);
  const Handle thread_handle(process.hThread, CloseHandle);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  outcome.status = static_cast<int>(status);
  outcome.out = Contents(out.get());
  outcome.err = Contents(err.get());
  return outcome;
}

#else

std::vector<std::string> Arguments(const std::string& command_line) {
  std::vector<std::string> args;
  std::string arg;
  bool quoted = false;
  bool pending = false;
  for (const char c : command_line + ' ') {
    if (c == '"') {
      quoted = !quoted;
      pending = true;
    } else if (c == ' ' && !quoted) {
      if (pending) args.push_back(arg);
      arg.clear();
      pending = false;
    } else {
      arg += c;
      pending = true;
    }
  }
  return args;
}

using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

std::string Contents(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char chunk[4096];
  while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, file)) text.append(chunk, got);
  return text;
}

Outcome Run(const std::string& program, const std::string& arguments) {
  const std::vector<std::string> args = Arguments(arguments);
  const File out(std::tmpfile(), std::fclose);
  const File err(std::tmpfile(), std::fclose);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  Outcome outcome;
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    dup2(fileno(out.get()), STDOUT_FILENO);
    dup2(fileno(err.get()), STDERR_FILENO);
    execv(program.c_str(), argv.data());
    std::perror("execv");
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return outcome;
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.out = Contents(out.get());
  outcome.err = Contents(err.get());
  return outcome;
}

#endif

// Replaces the round-trip times ("min 2.076 ms", "\"min\":2.076") with "T" and gives them.
std::vector<double> TakeRoundTrips(std::string& text) {
  static const std::regex kTime(R"re(((?:min|median|max)"?[: ])([0-9]+\.[0-9]+))re");
  std::vector<double> times;
  for (std::sregex_iterator it(text.begin(), text.end(), kTime), end; it != end; ++it) {
    times.push_back(std::stod((*it)[2]));
  }
  text = std::regex_replace(text, kTime, "$1T");
  return times;
}

bool Holds(const std::string& text, const Expect& expect) {
  return expect.pattern ? std::regex_search(text, std::regex(expect.text)) : text == expect.text;
}

std::string Shown(const std::string& label, const std::string& text, const Expect& expect) {
  return "\n  " + label + ":\n" + text + "\n  expected" + (expect.pattern ? " a match of" : "") +
         ":\n" + expect.text;
}

void CheckRow(const std::string& ksvhid, const Row& row) {
  Outcome got = Run(ksvhid, row.command_line);
  const std::string ran = "ksvhid " + row.command_line;
  std::printf("%s\n", ran.c_str());
  const std::vector<double> times = TakeRoundTrips(got.out);
  KSV_CHECK_MSG(got.status == row.status, ran + ": exit status " + std::to_string(got.status) +
                                              ", expected " + std::to_string(row.status) +
                                              "\n  stdout:\n" + got.out + "\n  stderr:\n" +
                                              got.err);
  KSV_CHECK_MSG(Holds(got.out, row.out), ran + Shown("stdout", got.out, row.out));
  KSV_CHECK_MSG(Holds(got.err, row.err), ran + Shown("stderr", got.err, row.err));
  const bool ascending = std::is_sorted(times.begin(), times.end());
  KSV_CHECK_MSG(ascending && (times.empty() || times.front() >= row.least_round_trip_ms),
                ran + ": round trips (min, median, max) out of order or below " +
                    std::to_string(row.least_round_trip_ms) + " ms");
}

// 63 bytes as hex: `count` bytes counting up from `first` (wrapping after ff), then `fill`.
std::string Hex63(unsigned first, unsigned count, unsigned fill) {
  std::string hex;
  for (unsigned i = 0; i < 63; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", i < count ? (first + i) % 256 : fill);
    hex += digits;
  }
  return hex;
}

// The JSON of send: every exchange gave `result`; `reply` is JSON (a string, or null).
std::string SentJson(const std::string& module, const std::string& command, int exchanges,
                     int result, const std::string& result_name, const std::string& reply) {
  const std::string result_text = std::to_string(result);
  return "{" + module + R"j(,"mode":0,"command":")j" + command + R"j(","exchanges":)j" +
         std::to_string(exchanges) + R"j(,"result":)j" + result_text + R"j(,"result_name":")j" +
         result_name + R"j(","reply":)j" + reply + R"j(,"results":{")j" + result_text +
         "\":" + std::to_string(exchanges) +
         R"j(},"round_trip_ms":{"min":T,"median":T,"max":T}})j" + "\n";
}

Expect Error(const std::string& message) { return "ksvhid: " + message + "\n"; }

Expect CannotOpen(const std::string& serial, int mode) {
  return Error("cannot open module \"" + serial + "\" in mode " + std::to_string(mode) +
               ": no such module, or another program holds it open");
}

// A hex dump of 63 reply bytes: the first row as given, then rows of `rest`, a byte that is not
// printable.
std::string Dump(const std::string& first_row, const std::string& rest) {
  std::string eight;
  for (int i = 0; i < 8; ++i) eight += rest + ' ';
  const std::string row = eight + ' ' + eight + " |" + std::string(16, '.') + "|\n";
  return "  00   " + first_row + "\n  10   " + row + "  20   " + row + "  30   " + eight + ' ' +
         eight.substr(0, 7 * 3) + "    |" + std::string(15, '.') + "|\n";
}

std::vector<Row> Rows(const std::string& ksvhid) {
  const std::string version = KSV_VERSION_TEXT;
  const std::string data = KSV_CLI_DATA;
  const std::string good = data + "/good.json";
  const std::string bad = data + "/bad.json";
  const std::string recording = ksvhid + ".recording.json";
  const std::string bad_line = "KSVHidApi simulator: " + bad +
                               ": modules[0].length: 65 is out of range 0..64; no modules are "
                               "simulated\n";
  const std::string all_simulated =
      "4 modules (mode 0)\n  0  KSV-SIM-0001\n  1  KSV-SIM-0002\n  2  KSV-SIM-0003\n"
      "  3  KSV-\\xb5-0004\n";
  const std::string plus_one_sent =
      "module KSV-SIM-0001 (mode 0)\nresult: 1 reply (report ID 1)\nreply (63 bytes):\n" +
      Dump("02 03 04 01 01 01 01 01  01 01 01 01 01 01 01 01  |................|", "01");
  const std::string sim_0001 =
      R"j("serial":"KSV-SIM-0001","serial_hex":"4b53562d53494d2d30303031")j";
  const std::string sim_0003 =
      R"j("serial":"KSV-SIM-0003","serial_hex":"4b53562d53494d2d30303033")j";
  const std::string sim_0004 = R"j("serial":"KSV-\\xb5-0004","serial_hex":"4b53562db52d30303034")j";
  const std::string all_bytes = Hex63(0, 63, 0);
  const std::string wrapping = Hex63(255, 2, 0);
  const std::string one = Hex63(1, 1, 0);
  const Expect usage = Expect::Pattern("^usage: ksvhid ");
  const std::string other_ids_0 =
      "      not a module: other IDs: mode 0 takes 17fe:82cd or 10c4:82cd\n";
  const std::string other_ids_1 =
      R"j("reason":"other_ids","detail":"other IDs: mode 1 takes 17fe:8200")j";
  return {
      // Every mode sees its own modules among the simulated devices, in walk order; the keyboard
      // that comes first is never one. A module whose serial number cannot be read is listed.
      {"list", "--simulated list", 0, all_simulated},
      {"list", "list --simulated --mode 1", 0,
       "2 modules (mode 1)\n  0  KSV-SIM-L001\n  1  (serial number unreadable)\n"},
      {"list", "--simulated list --mode=2", 0,
       "3 modules (mode 2)\n  0  KSV-SIM-0001\n  1  KSV-SIM-0003\n  2  KSV-\\xb5-0004\n"},
      {"list", "--simulated list --mode 3", 0, "1 module (mode 3)\n  0  KSV-SIM-0002\n"},
      // The attached hardware: whatever is there, listed the same way, and success.
      {"list", "list", 0, Expect::Pattern("^[0-9]+ modules? \\(mode 0\\)\n")},

      {"send", "--simulated send KSV-SIM-0001 01 02 03", 0, plus_one_sent},
      // Report ID 2 is a reply too (result 0), and the bytes come back as sent.
      {"send", "--simulated send KSV-SIM-0002 0x48692100ff", 0,
       "module KSV-SIM-0002 (mode 0)\nresult: 0 reply (report ID 2)\nreply (63 bytes):\n" +
           Dump("48 69 21 00 ff 00 00 00  00 00 00 00 00 00 00 00  |Hi!.............|", "00")},
      // A serial number with a byte that is not printable, typed as it is shown. Its reply is
      // short: a failure, yet the bytes that arrived are shown, zero where nothing arrived.
      {"send", "--simulated send KSV-\\xb5-0004 41 42", 1,
       "module KSV-\\xb5-0004 (mode 0)\nresult: -16 wrong reply length\nreply (63 bytes):\n" +
           Dump("41 42 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |AB..............|", "00")},
      // Mode 1 accepts report ID 3 and a reply of any length.
      {"send", "--simulated send KSV-SIM-L001 7e --mode 1", 0,
       "module KSV-SIM-L001 (mode 1)\nresult: 3 reply (report ID 3)\nreply (63 bytes):\n" +
           Dump("7e 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |~...............|", "00")},
      // A module that never answers: -1 after the time limit, and no reply bytes.
      {"send", "--simulated send KSV-SIM-0003 01", 1,
       "module KSV-SIM-0003 (mode 0)\nresult: -1 timed out\nno reply\n"},
      // The attached hardware has no module by that name.
      {"send", "send KSV-SIM-0001 01", 1, "", CannotOpen("KSV-SIM-0001", 0)},

      {"json", "--simulated list --json", 0,
       R"j({"mode":0,"count":4,"modules":[{"ordinal":0,)j" + sim_0001 +
           R"j(},{"ordinal":1,"serial":"KSV-SIM-0002","serial_hex":"4b53562d53494d2d30303032"},)j"
           R"j({"ordinal":2,)j" +
           sim_0003 + R"j(},{"ordinal":3,)j" + sim_0004 + "}]}\n"},
      // The serial number a script reads from the list opens that module.
      {"json", "--simulated send KSV-\\xb5-0004 01 --json", 1,
       SentJson(sim_0004, one, 1, -16, "wrong reply length", '"' + one + '"')},
      {"json", "--simulated list --json --mode 1", 0,
       R"j({"mode":1,"count":2,"modules":[{"ordinal":0,"serial":"KSV-SIM-L001",)j"
       R"j("serial_hex":"4b53562d53494d2d4c303031"},{"ordinal":1,"serial":null,"serial_hex":null}]})j"
       "\n"},
      // All 63 command bytes travel: 00..3e out, 01..3f back.
      {"json", "--simulated send KSV-SIM-0001 " + all_bytes + " --json", 0,
       SentJson(sim_0001, all_bytes, 1, 1, "reply (report ID 1)", '"' + Hex63(1, 63, 1) + '"')},
      // ff wraps to 00; a repeated exchange is counted per result, with ordered round trips.
      {"json", "--json --simulated send KSV-SIM-0001 ff00 --repeat 5", 0,
       SentJson(sim_0001, wrapping, 5, 1, "reply (report ID 1)", '"' + Hex63(0, 2, 1) + '"'),
       "exchanges done: 5 of 5\n", 1},
      // No reply: null, not stale bytes.
      {"json", "--simulated send KSV-SIM-0003 01 --json", 1,
       SentJson(sim_0003, one, 1, -1, "timed out", "null"), "", 2000},

      // Every interface in walk order, and why each one that is not listed is not.
      {"diagnose", "--simulated diagnose", 0,
       "7 HID interfaces, 4 modules (mode 0)\n"
       "  0  sim:keyboard  1209:0001  KBD-1\n" +
           other_ids_0 +
           "  1  sim:echo-plus-one  17fe:82cd  KSV-SIM-0001\n      module\n"
           "  2  sim:echo-id2  10c4:82cd  KSV-SIM-0002\n      module\n"
           "  3  sim:silent  17fe:82cd  KSV-SIM-0003\n      module\n"
           "  4  sim:short-reply  17fe:82cd  KSV-\\xb5-0004\n      module\n"
           "  5  sim:lenient  17fe:8200  KSV-SIM-L001\n" +
           other_ids_0 + "  6  sim:no-serial  17fe:8200  (serial number unreadable)\n" +
           other_ids_0},
      {"diagnose", "--simulated diagnose --mode 1 --json", 0,
       R"j({"mode":1,"interfaces":7,"modules":2,"bound":64,"report":[)j"
       R"j({"index":0,"path":"sim:keyboard","ids":"1209:0001","module":false,"serial":"KBD-1",)j"
       R"j("serial_hex":"4b42442d31",)j" +
           other_ids_1 + R"j(},{"index":1,"path":"sim:echo-plus-one","ids":"17fe:82cd",)j" +
           R"j("module":false,)j" + sim_0001 + "," + other_ids_1 +
           R"j(},{"index":2,"path":"sim:echo-id2","ids":"10c4:82cd","module":false,)j"
           R"j("serial":"KSV-SIM-0002","serial_hex":"4b53562d53494d2d30303032",)j" +
           other_ids_1 + R"j(},{"index":3,"path":"sim:silent","ids":"17fe:82cd","module":false,)j" +
           sim_0003 + "," + other_ids_1 +
           R"j(},{"index":4,"path":"sim:short-reply","ids":"17fe:82cd","module":false,)j" +
           sim_0004 + "," + other_ids_1 +
           R"j(},{"index":5,"path":"sim:lenient","ids":"17fe:8200","module":true,)j"
           R"j("serial":"KSV-SIM-L001","serial_hex":"4b53562d53494d2d4c303031",)j"
           R"j("reason":null,"detail":""},)j"
           R"j({"index":6,"path":"sim:no-serial","ids":"17fe:8200","module":true,)j"
           R"j("serial":null,"serial_hex":null,"reason":"serial_unreadable",)j"
           R"j("detail":"serial number unreadable: counted, but it can be neither named nor )j"
           R"j(opened"}]})j"
           "\n"},
      // The modules diagnose finds are the ones list counts.
      {"diagnose", "--simulated diagnose --mode 3", 0,
       Expect::Pattern("^7 HID interfaces, 1 module \\(mode 3\\)\n[\\s\\S]*"
                       "  2  sim:echo-id2  10c4:82cd  KSV-SIM-0002\n      module\n")},
      // The attached hardware: whatever is there, and success.
      {"diagnose", "diagnose", 0, Expect::Pattern("^[0-9]+ HID interfaces?, [0-9]+ modules? ")},

      // This module answers after 2 ms: every round trip includes that.
      {"repeat", "--simulated send KSV-SIM-0002 01 --repeat 10", 0,
       "module KSV-SIM-0002 (mode 0)\nexchanges: 10\n  10 x 0 reply (report ID 2)\n"
       "round trip: min T ms, median T ms, max T ms\nlast result: 0 reply (report ID 2)\n"
       "last reply (63 bytes):\n" +
           Dump("01 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |................|", "00"),
       "exchanges done: 10 of 10\n", 2},

      // Each bad command line: exit 2, one line on stderr, nothing attempted or printed.
      {"arguments", "--simulated --bogus list", 2, "",
       Error("unknown option --bogus (see ksvhid help)")},
      {"arguments", "--simulated frobnicate", 2, "",
       Error("unknown command \"frobnicate\" (see ksvhid help)")},
      {"arguments", "--simulated list --mode 4", 2, "",
       Error("--mode takes a module mode from 0 to 3")},
      {"arguments", "--simulated list --mode x", 2, "",
       Error("--mode takes a module mode from 0 to 3")},
      {"arguments", "--simulated list --mode", 2, "",
       Error("--mode takes a module mode from 0 to 3")},
      {"arguments", "--simulated list --mode -1", 2, "",
       Error("--mode takes a module mode from 0 to 3")},
      {"arguments", "--simulated list extra", 2, "",
       Error("list takes no arguments, not \"extra\"")},
      {"arguments", "--simulated list --repeat 2", 2, "", Error("--repeat applies to send")},
      {"arguments", "--simulated version --json", 2, "",
       Error("--json applies to list, send, diagnose and watch")},
      {"arguments", "--simulated version --mode 1", 2, "",
       Error("--mode applies to list, send, diagnose and watch")},
      {"arguments", "--simulated watch", 2, "", Error("watch looks at the attached modules only")},
      // An option that takes no value names itself when it is given one.
      {"arguments", "--simulated list --json=1", 2, "", Error("--json takes no value")},
      {"arguments", "--simulated=x list", 2, "", Error("--simulated takes no value")},
      {"arguments", "--simulated diagnose --json=", 2, "", Error("--json takes no value")},
      {"arguments", "--help=1", 2, "", Error("--help takes no value")},
      {"arguments", "--simulated diagnose extra", 2, "",
       Error("diagnose takes no arguments, not \"extra\"")},
      {"arguments", "--simulated diagnose --repeat 2", 2, "", Error("--repeat applies to send")},
      {"arguments", "--simulated send", 2, "",
       Error("send takes a serial number and at least one command byte")},
      {"arguments", "--simulated send KSV-SIM-0001", 2, "",
       Error("send takes a serial number and at least one command byte")},
      {"arguments", "--simulated send KSV-SIM-0001 0", 2, "",
       Error("bad hex bytes \"0\": write each byte as two hex digits")},
      {"arguments", "--simulated send KSV-SIM-0001 zz", 2, "",
       Error("bad hex bytes \"zz\": write each byte as two hex digits")},
      {"arguments", "--simulated send KSV-SIM-0001 0x", 2, "",
       Error("bad hex bytes \"0x\": write each byte as two hex digits")},
      // 63 bytes fit, 64 do not.
      {"arguments", "--simulated send KSV-SIM-0001 " + Hex63(0, 0, 0xab) + "ab", 2, "",
       Error("a command has at most 63 bytes, not 64")},
      {"arguments", "--simulated send KSV-SIM-0002 " + Hex63(0, 0, 0xab), 0,
       Expect::Pattern("^module KSV-SIM-0002 \\(mode 0\\)\nresult: 0 reply")},
      {"arguments", "--simulated send KSV\\q 01", 2, "",
       Error("bad escape in serial number \"KSV\\\\q\": use \\\\ for a backslash and \\xHH for "
             "any other byte")},
      {"arguments", "--simulated send KSV\\x00 01", 2, "",
       Error("a serial number cannot contain \\x00")},
      {"arguments", "--simulated send KSV\\x4 01", 2, "",
       Error("bad escape in serial number \"KSV\\\\x4\": use \\\\ for a backslash and \\xHH for "
             "any other byte")},
      {"arguments", "--simulated send KSV-SIM-0001 01 --repeat 0", 2, "",
       Error("--repeat takes a count from 1 to 1000000")},
      {"arguments", "--simulated send KSV-SIM-0001 01 --repeat 1000001", 2, "",
       Error("--repeat takes a count from 1 to 1000000")},
      {"arguments", "", 2, "", usage},
      {"arguments", "help", 0,
       Expect::Pattern("^usage: ksvhid [\\s\\S]*\n  KSV-SIM-0001    17fe:82cd")},
      {"arguments", "--help", 0, usage},

      // Comparison is exact: another case, a prefix, a module of another mode do not open.
      {"unknown_serial", "--simulated send NOPE 01", 1, "", CannotOpen("NOPE", 0)},
      {"unknown_serial", "--simulated send ksv-sim-0001 01", 1, "", CannotOpen("ksv-sim-0001", 0)},
      {"unknown_serial", "--simulated send KSV-SIM-000 01", 1, "", CannotOpen("KSV-SIM-000", 0)},
      {"unknown_serial", "--simulated send KSV-SIM-00011 01", 1, "",
       CannotOpen("KSV-SIM-00011", 0)},
      {"unknown_serial", "--simulated send KSV-SIM-L001 01", 1, "", CannotOpen("KSV-SIM-L001", 0)},
      {"unknown_serial", "--simulated send KSV-SIM-0001 01 --mode 1", 1, "",
       CannotOpen("KSV-SIM-0001", 1)},
      // A module whose serial number cannot be read cannot be opened, not even by an empty one.
      {"unknown_serial", "--simulated send \"\" 01 --mode 1", 1, "", CannotOpen("", 1)},
      // A serial number beginning with "-" needs "--" to be one.
      {"unknown_serial", "--simulated send -- -x 01", 1, "", CannotOpen("-x", 0)},

      {"version", "version", 0,
       Expect::Pattern("^KSVHidApi " + version + "\nlibrary: [^\n]*KSVHidApi[^\n]*\n$")},
      // Simulated modules: the calls go to the simulator library, a file of its own.
      {"version", "--simulated version", 0,
       Expect::Pattern("^KSVHidApi " + version +
                       "\nlibrary: [^\n]*simulator/[^\n]*KSVHidApi[^\n]*\n$")},

      // A simulation file, read as the simulator reads it, and used through --simulation.
      {"simulation", "simulation check " + good, 0, good + ": 2 simulated devices\n"},
      {"simulation", "simulation check " + bad, 1, "", bad_line},
      {"simulation", "simulation check " + data + "/none.json", 1, "",
       "KSVHidApi simulator: " + data + "/none.json: cannot be read; no modules are simulated\n"},
      {"simulation", "simulation check", 2, "",
       Error("simulation takes \"check FILE\" and no --simulated or --simulation")},
      {"simulation", "simulation check " + good + " --json", 2, "",
       Error("--json applies to list, send, diagnose and watch")},
      {"simulation", "--simulated --simulation " + good + " list", 2, "",
       Error("--simulated and --simulation exclude each other")},
      {"simulation", "--simulation " + good + " list", 0, "1 module (mode 0)\n  0  FILE-1\n"},
      {"simulation", "--simulation " + good + " send FILE-1 00 ff 0f", 0,
       "module FILE-1 (mode 0)\nresult: 1 reply (report ID 1)\nreply (63 bytes):\n" +
           Dump("ff 00 f0 ff ff ff ff ff  ff ff ff ff ff ff ff ff  |................|", "ff")},
      // A bad file: the simulator's one line, and no modules.
      {"simulation", "--simulation " + bad + " list", 0, "0 modules (mode 0)\n", bad_line},

      // A program run with the recorder in front: its calls go to the recorder library, which
      // leaves a recording that the simulator reads (none is attached here: no modules).
      {"record", "record " + recording + " -- \"" + ksvhid + "\" version", 0,
       Expect::Pattern("^KSVHidApi " + version + "\nlibrary: [^\n]*recorder/[^\n]*KSVHidApi")},
      {"record", "record " + recording + " -- \"" + ksvhid + "\" list", 0, "0 modules (mode 0)\n"},
      {"record", "simulation check " + recording, 0, recording + ": 0 simulated devices\n"},
      {"record", "record " + recording + " \"" + ksvhid + "\" list", 2, "",
       Error("record takes \"FILE -- PROGRAM [ARG...]\"")},

      // The Windows build under Wine, where no module is attached.
      {"wine", "list", 0, "0 modules (mode 0)\n"},
      {"wine", "list --json", 0, "{\"mode\":0,\"count\":0,\"modules\":[]}\n"},
      {"wine", "send KSV-SIM-0001 01", 1, "", CannotOpen("KSV-SIM-0001", 0)},
      {"wine", "version", 0,
       Expect::Pattern("^KSVHidApi " + version + "\nlibrary: [^\n]*KSVHidApi\\.dll\n$")},
      // The simulated modules run the same logic in the Windows build.
      {"wine", "--simulated list", 0, all_simulated},
      {"wine", "--simulated send KSV-SIM-0001 01 02 03", 0, plus_one_sent},
      // diagnose looks through the Windows platform, and over the simulated one.
      {"wine", "diagnose --json", 0,
       Expect::Pattern(R"re(^\{"mode":0,"interfaces":[0-9]+,"modules":0,)re")},
      {"wine", "--simulated diagnose --mode 3", 0,
       Expect::Pattern("^7 HID interfaces, 1 module \\(mode 3\\)\n")},
      {"wine", "--json=1 list", 2, "", Error("--json takes no value")},
  };
}

}  // namespace
}  // namespace ksv::test

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PATH-TO-ksvhid GROUP\n", argv[0]);
    return 2;
  }
  const std::string group = argv[2];
  int rows = 0;
  for (const ksv::test::Row& row : ksv::test::Rows(argv[1])) {
    if (row.group != group) continue;
    ksv::test::CheckRow(argv[1], row);
    ++rows;
  }
  KSV_CHECK_MSG(rows > 0, "no rows in group " + group);
  return ksv::test::Finish(argv[0]);
}
