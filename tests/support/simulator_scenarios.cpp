#include "simulator_scenarios.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include "export_table.h"

#ifdef _WIN32
#include <io.h>
#define KSV_DUP _dup
#define KSV_DUP2 _dup2
#define KSV_CLOSE _close
#define KSV_FILENO _fileno
#else
#include <unistd.h>
#define KSV_DUP dup
#define KSV_DUP2 dup2
#define KSV_CLOSE close
#define KSV_FILENO fileno
#endif

namespace ksv::test {
namespace {

using tool::ExportTable;
using tool::LoadedLibrary;

constexpr int kOk = 1;
constexpr int kReplyId2 = 0;
constexpr int kReplyId3 = 3;
constexpr int kTimedOut = -1;
constexpr int kWrongLength = -16;
constexpr int kOther = -255;
constexpr unsigned char kUntouched = 0x5A;

class Findings {
 public:
  explicit Findings(std::string scenario) : scenario_(std::move(scenario)) {}
  void Expect(bool ok, const std::string& what) {
    if (!ok) {
      lines_.push_back(scenario_ + ": " + what);
    }
  }
  void ExpectEq(long long actual, long long expected, const std::string& what) {
    Expect(actual == expected,
           what + " is " + std::to_string(actual) + ", expected " + std::to_string(expected));
  }
  std::vector<std::string> lines() const { return lines_; }

 private:
  std::string scenario_;
  std::vector<std::string> lines_;
};

std::string WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Runs `body` over the simulator loaded with KSVHID_SIMULATION = `simulation` (unset when empty),
// with standard error going to `stderr_file` when one is given.
void WithSimulator(const SimulatorRun& run, const std::string& simulation, Findings& findings,
                   const std::function<void(const ExportTable&)>& body,
                   const std::string& stderr_file = {}) {
  ksv::tool::SetSimulationFile(simulation);
  int saved_stderr = -1;
  if (!stderr_file.empty()) {
    std::fflush(stderr);
    saved_stderr = KSV_DUP(KSV_FILENO(stderr));
    if (std::freopen(stderr_file.c_str(), "wb", stderr) == nullptr) {
      findings.Expect(false, "cannot send standard error to " + stderr_file);
    }
  }
  {
    std::string error;
    std::optional<LoadedLibrary> library = LoadedLibrary::Load(run.library, error);
    findings.Expect(library.has_value(), error);
    if (library) {
      library->exports().SetModuleMode(0);
      body(library->exports());
    }
  }
  if (saved_stderr >= 0) {
    std::fflush(stderr);
    KSV_DUP2(saved_stderr, KSV_FILENO(stderr));
    KSV_CLOSE(saved_stderr);
  }
  ksv::tool::SetSimulationFile("");
}

std::vector<std::string> Names(const ExportTable& api) {
  std::vector<std::string> names;
  const int count = api.GetKestrovanHIDnumber();
  for (int i = 0; i < count; ++i) {
    char serial[KSVHID_SERIAL_BUFFER_BYTES] = {};
    names.push_back(api.GetKestrovanHIDName(i, serial) == 1 ? serial : "(unnamed)");
  }
  return names;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

// The reply byte a module gives to command byte `sent` at payload position `i`.
using ReplyRule = std::function<unsigned char(unsigned char sent, std::size_t i)>;
const ReplyRule kEcho = [](unsigned char sent, std::size_t) { return sent; };
const ReplyRule kPlusOne = [](unsigned char sent, std::size_t) {
  return static_cast<unsigned char>(sent + 1);
};
// The first `bytes` of a reply, then zeros: a reply of that length, report ID included.
ReplyRule EchoOf(std::size_t bytes) {
  return [bytes](unsigned char sent, std::size_t i) {
    return i + 1 < bytes ? sent : static_cast<unsigned char>(0);
  };
}

struct Exchange {
  const char* what;
  int mode;
  const char* serial;
  int result;
  ReplyRule reply;  // null: the reply buffer stays untouched
  long long least_ms = 0;
  long long most_ms = 1500;
};

// Runs the rows in order; a module stays open from its first row to the end, so that rows on
// one module are exchanges on one handle.
void RunExchanges(const ExportTable& api, const std::vector<Exchange>& rows, Findings& findings) {
  std::map<std::string, KSVHidHandle> open;
  for (const Exchange& row : rows) {
    const std::string what = std::string(row.what) + " (" + row.serial + ")";
    api.SetModuleMode(row.mode);
    if (open.count(row.serial) == 0) {
      KSVHidHandle handle = nullptr;
      findings.ExpectEq(api.OpenKestrovanHID(&handle, row.serial), 1, what + ": open");
      open[row.serial] = handle;
    }
    char command[KSVHID_COMMAND_BYTES] = {};
    for (std::size_t i = 0; i < sizeof command; ++i) {
      command[i] = static_cast<char>(0x30 + i * 7);  // every position differs, 0x00 and 0xff too
    }
    command[0] = 0;
    command[1] = static_cast<char>(0xFF);
    char reply[KSVHID_REPLY_BYTES];
    std::fill(std::begin(reply), std::end(reply), static_cast<char>(kUntouched));
    const auto start = std::chrono::steady_clock::now();
    const int result = api.SendReceiveKestrovanHID(open[row.serial], command, reply);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    findings.ExpectEq(result, row.result, what + ": result");
    findings.Expect(ms >= row.least_ms && ms <= row.most_ms,
                    what + ": took " + std::to_string(ms) + " ms, expected " +
                        std::to_string(row.least_ms) + ".." + std::to_string(row.most_ms));
    for (std::size_t i = 0; i < sizeof reply; ++i) {
      const auto sent = static_cast<unsigned char>(command[i]);
      const unsigned char expected = row.reply ? row.reply(sent, i) : kUntouched;
      if (static_cast<unsigned char>(reply[i]) != expected) {
        findings.ExpectEq(static_cast<unsigned char>(reply[i]), expected,
                          what + ": reply byte " + std::to_string(i));
        break;
      }
    }
  }
  for (const auto& entry : open) {
    api.CloseKestrovanHID(entry.second);
  }
  api.SetModuleMode(0);
}

const char* const kFileSet = R"({"modules": [
  {"vendor": "0x1209", "product": "0x0001", "serial": "KEYBOARD"},
  {"vendor": "0x17FE", "product": "0x82CD", "serial": "ECHO"},
  {"vendor": "0x17fe", "product": "82cd", "serial": "PLUS", "reply": "plus-one"},
  {"vendor": "0x17FE", "product": "0x82CD", "serial": "INVERT", "reply": "invert"},
  {"vendor": "0x17FE", "product": "0x82CD", "serial": "FIXED", "reply": "fixed",
   "payload": "a1b2c3"},
  {"vendor": "0x17FE", "product": "0x82CD", "serial": "SILENT", "reply": "silent"},
  {"vendor": "0x10C4", "product": "0x82CD", "serial": "ID2", "report_id": 2},
  {"vendor": "0x17FE", "product": "0x8200", "serial": "ID3", "report_id": 3, "length": 24},
  {"vendor": "0x17FE", "product": "0x82CD", "serial": "SHORT", "length": 32},
  {"vendor": "0x17FE", "product": "0x82CD", "serial": "SLOW", "delay_ms": 300},
  {"vendor": "0x17FE", "product": "0x82CD", "serial": "LATE", "delay_ms": 2500},
  {"vendor": "0x17FE", "product": "0x82CD", "serial": "BUSY", "busy": true},
  {"vendor": "0x17FE", "product": "0x82CD", "serial": null},
  {"vendor": "0x17FE", "product": "0x82CD", "serial": "LEAVES", "unplug_after": 1},
  {"vendor": "0x17FE", "product": "0x82CD", "serial": "K\u00f8-\u0141"}
]})";

}  // namespace

std::vector<std::string> CheckBuiltInSet(const SimulatorRun& run) {
  Findings findings("built-in set");
  WithSimulator(run, "", findings, [&](const ExportTable& api) {
    findings.Expect(Joined(Names(api)) == "KSV-SIM-0001, KSV-SIM-0002, KSV-SIM-0003, KSV-\xb5-0004",
                    "mode 0 lists " + Joined(Names(api)));
    api.SetModuleMode(1);
    findings.Expect(Joined(Names(api)) == "KSV-SIM-L001, (unnamed)",
                    "mode 1 lists " + Joined(Names(api)));
    RunExchanges(api,
                 {
                     {"every byte plus one", 0, "KSV-SIM-0001", kOk, kPlusOne},
                     {"report ID 2", 0, "KSV-SIM-0002", kReplyId2, kEcho},
                     {"short reply", 0, "KSV-\xb5-0004", kWrongLength, EchoOf(32)},
                     {"report ID 3 in mode 1", 1, "KSV-SIM-L001", kReplyId3, EchoOf(24)},
                     {"silent", 0, "KSV-SIM-0003", kTimedOut, nullptr, 1900, 5000},
                 },
                 findings);
  });
  return findings.lines();
}

std::vector<std::string> CheckFileDescribedSet(const SimulatorRun& run) {
  Findings findings("file-described set");
  const std::string file = WriteFile(run.work_dir + "/modules.json", kFileSet);
  WithSimulator(run, file, findings, [&](const ExportTable& api) {
    // Not the keyboard, not the busy one, not the lenient one in mode 0; the one without a
    // readable serial number counts and holds its ordinal.
    findings.Expect(
        Joined(Names(api)) ==
            "ECHO, PLUS, INVERT, FIXED, SILENT, ID2, SHORT, SLOW, LATE, (unnamed), LEAVES, "
            "K\xf8-A",
        "mode 0 lists " + Joined(Names(api)));
    KSVHidHandle busy = nullptr;
    findings.ExpectEq(api.OpenKestrovanHID(&busy, "BUSY"), 0, "opening the busy module");
    const auto invert = [](unsigned char sent, std::size_t) {
      return static_cast<unsigned char>(~sent);
    };
    const auto fixed = [](unsigned char, std::size_t i) {
      const unsigned char payload[] = {0xA1, 0xB2, 0xC3};
      return i < sizeof payload ? payload[i] : static_cast<unsigned char>(0);
    };
    RunExchanges(api,
                 {
                     {"echo", 0, "ECHO", kOk, kEcho},
                     {"plus-one", 0, "PLUS", kOk, kPlusOne},
                     {"invert", 0, "INVERT", kOk, invert},
                     {"fixed", 0, "FIXED", kOk, fixed},
                     {"silent", 0, "SILENT", kTimedOut, nullptr, 1900, 5000},
                     {"report ID 2", 0, "ID2", kReplyId2, kEcho},
                     {"report ID 3 in mode 1", 1, "ID3", kReplyId3, EchoOf(24)},
                     {"length 32 in mode 0", 0, "SHORT", kWrongLength, EchoOf(32)},
                     {"length 32 in mode 1 is taken", 1, "SHORT", kOk, EchoOf(32)},
                     {"delay 300 ms", 0, "SLOW", kOk, kEcho, 290, 1500},
                     // Each reply comes 500 ms after its exchange gave up: the next exchange
                     // waits for it and drops it, so it never passes for that command's reply.
                     {"2500 ms late", 0, "LATE", kTimedOut, nullptr, 1900, 2400},
                     {"after a late one", 0, "LATE", kTimedOut, nullptr, 2400, 5000},
                     {"before it leaves", 0, "LEAVES", kOk, kEcho},
                     {"it leaves during this exchange", 0, "LEAVES", kOther, nullptr},
                     {"after it left", 0, "LEAVES", kOther, nullptr},
                 },
                 findings);
    findings.ExpectEq(api.GetKestrovanHIDnumber(), 11, "modules once one has left");
  });
  return findings.lines();
}

std::vector<std::string> CheckExclusivity(const SimulatorRun& run) {
  Findings findings("exclusivity");
  WithSimulator(run, "", findings, [&](const ExportTable& api) {
    KSVHidHandle first = nullptr;
    KSVHidHandle second = nullptr;
    findings.ExpectEq(api.OpenKestrovanHID(&first, "KSV-SIM-0002"), 1, "first open");
    findings.ExpectEq(api.OpenKestrovanHID(&second, "KSV-SIM-0002"), 0, "second open");
    findings.ExpectEq(api.GetKestrovanHIDnumber(), 3, "count while one is held");
    findings.ExpectEq(api.CloseKestrovanHID(first), 1, "close");
    findings.ExpectEq(api.OpenKestrovanHID(&second, "KSV-SIM-0002"), 1, "open after the close");
    findings.ExpectEq(api.CloseKestrovanHID(second), 1, "second close");
    findings.ExpectEq(api.GetKestrovanHIDnumber(), 4, "count after both closes");

    // Two threads, one module each, exchanging at the same time: each gets its own replies.
    const char* const serials[] = {"KSV-SIM-0001", "KSV-SIM-0002"};
    const int accepted[] = {kOk, kReplyId2};
    const ReplyRule rules[] = {kPlusOne, kEcho};
    int mismatches[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int m = 0; m < 2; ++m) {
      threads.emplace_back([&, m] {
        KSVHidHandle handle = nullptr;
        if (api.OpenKestrovanHID(&handle, serials[m]) != 1) {
          mismatches[m] = -1;
          return;
        }
        for (int round = 0; round < 50; ++round) {
          char command[KSVHID_COMMAND_BYTES] = {};
          char reply[KSVHID_REPLY_BYTES] = {};
          command[0] = static_cast<char>(m * 100 + round);
          const int result = api.SendReceiveKestrovanHID(handle, command, reply);
          const auto expected = rules[m](static_cast<unsigned char>(command[0]), 0);
          mismatches[m] +=
              result != accepted[m] || static_cast<unsigned char>(reply[0]) != expected;
        }
        api.CloseKestrovanHID(handle);
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
    findings.ExpectEq(mismatches[0], 0, "exchanges of the first thread that went wrong");
    findings.ExpectEq(mismatches[1], 0, "exchanges of the second thread that went wrong");
  });
  return findings.lines();
}

std::vector<std::string> CheckBadFiles(const SimulatorRun& run) {
  struct BadFile {
    const char* name;
    const char* text;  // null: the file does not exist
    const char* says;  // part of the line on standard error
  };
  const BadFile kBadFiles[] = {
      {"missing", nullptr, "cannot be read"},
      {"not JSON", "{\"modules\": [\n  {\"vendor\": \"0x17FE\",, }]}", "line 2"},
      {"unknown field",
       R"({"modules": [{"vendor": "0x17FE", "product": "0x82CD", "colour": "red"}]})",
       "modules[0]: unknown field \"colour\""},
      {"unknown field with a line break in its name",
       R"({"modules": [{"vendor": "0x17FE", "product": "0x82CD", "col\nour": 1}]})",
       "modules[0]: unknown field \"col\\nour\""},
      {"value out of range",
       R"({"modules": [{"vendor": "0x17FE", "product": "0x82CD"},
                       {"vendor": "0x17FE", "product": "0x82CD", "report_id": 256}]})",
       "modules[1].report_id: 256 is out of range 0..255"},
      {"required field missing", R"({"modules": [{"vendor": "0x17FE", "serial": "X"}]})",
       "modules[0]: \"product\" is missing"},
      {"conversation without steps",
       R"({"modules": [{"vendor": "0x17FE", "product": "0x82CD", "reply": "conversation"}]})",
       "modules[0]: reply \"conversation\" without \"steps\""},
      {"step with two outcomes",
       R"({"modules": [{"vendor": "0x17FE", "product": "0x82CD", "reply": "conversation",
                        "steps": [{"command": "01", "reply": "01", "silent": true}]}]})",
       "modules[0].steps[0]: needs exactly one of \"reply\", \"silent\", \"leaves\" and "
       "\"system_error\""},
  };
  std::vector<std::string> lines;
  for (const BadFile& bad : kBadFiles) {
    Findings findings(std::string("bad file, ") + bad.name);
    const std::string file = run.work_dir + "/bad.json";
    std::remove(file.c_str());
    if (bad.text != nullptr) {
      WriteFile(file, bad.text);
    }
    const std::string captured = run.work_dir + "/stderr.txt";
    WithSimulator(
        run, file, findings,
        [&](const ExportTable& api) {
          findings.ExpectEq(api.GetKestrovanHIDnumber(), 0, "count");
          findings.ExpectEq(api.GetKestrovanHIDnumber(), 0, "second count");
          KSVHidHandle handle = nullptr;
          findings.ExpectEq(api.OpenKestrovanHID(&handle, "X"), 0, "open");
        },
        captured);
    const std::string said = ReadFile(captured);
    const std::size_t newline = said.find('\n');
    findings.Expect(newline != std::string::npos && newline + 1 == said.size(),
                    "standard error holds not exactly one line: \"" + said + "\"");
    findings.Expect(
        said.find(file) != std::string::npos && said.find(bad.says) != std::string::npos,
        "standard error says \"" + said + "\", not the file and \"" + bad.says + "\"");
    const std::vector<std::string> found = findings.lines();
    lines.insert(lines.end(), found.begin(), found.end());
  }
  return lines;
}

}  // namespace ksv::test
