// Module events from interface changes: what each sequence of changes reports, under a mode.
#include "watch/watch_tracker.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace ksv {
namespace {

// A change in short: "[" and "]" a sweep's beginning and end, "-key" a departure, and
// "+key:VVVV:PPPP:SERIAL" an arrival ("+key:?" with unreadable IDs, "+key:VVVV:PPPP" without a
// serial number, "+key:VVVV:PPPP:SERIAL:held").
InterfaceChange ChangeOf(const std::string& word) {
  InterfaceChange change;
  if (word == "[" || word == "]") {
    change.kind =
        word == "[" ? InterfaceChange::Kind::kSweepBegin : InterfaceChange::Kind::kSweepEnd;
    return change;
  }
  std::istringstream fields(word.substr(1));
  std::string key, vendor, product, serial, held;
  std::getline(fields, key, ':');
  SetInterfaceKey(change, key.c_str());
  change.kind = word[0] == '+' ? InterfaceChange::Kind::kArrived : InterfaceChange::Kind::kLeft;
  if (std::getline(fields, vendor, ':') && std::getline(fields, product, ':')) {
    change.ids_read = true;
    change.ids = {static_cast<std::uint16_t>(std::stoul(vendor, nullptr, 16)),
                  static_cast<std::uint16_t>(std::stoul(product, nullptr, 16))};
  }
  change.serial_read = static_cast<bool>(std::getline(fields, serial, ':'));
  for (std::size_t i = 0; i < serial.size(); ++i) {
    change.units[i] = static_cast<unsigned char>(serial[i]);
  }
  change.held = std::getline(fields, held) ? HeldState::kHeld : HeldState::kFree;
  return change;
}

// The events in short: "+SERIAL" or "-SERIAL", with "/VVVV:PPPP" and "!" for held.
std::string EventsOf(ModuleMode mode, const std::string& changes) {
  WatchTracker tracker(IdentitiesFor(mode));
  std::istringstream words(changes);
  for (std::string word; words >> word;) {
    tracker.Take(ChangeOf(word));
  }
  std::ostringstream out;
  char ids[16];
  for (WatchEvent e; tracker.Pop(e);) {
    std::snprintf(ids, sizeof ids, "%04x:%04x", e.ids.vendor, e.ids.product);
    out << (e.arrived ? " +" : " -") << e.serial.data() << '/' << ids
        << (e.held == HeldState::kHeld ? "!" : "");
  }
  return out.str();
}

TEST(WatchTrackerTest, EventsOfChanges) {
  const struct {
    const char* what;
    ModuleMode mode;
    const char* changes;
    const char* events;
  } rows[] = {
      {"present modules arrive first; other devices give nothing", 0,
       "[ +a:17fe:82cd:A +k:046d:c31c:KB +b:10c4:82cd:B:held ] +c:17fe:82cd:C",
       " +A/17fe:82cd +B/10c4:82cd! +C/17fe:82cd"},
      {"arrived and left before anyone asked: two events", 0, "+a:17fe:82cd:A -a",
       " +A/17fe:82cd -A/17fe:82cd"},
      {"a repeated arrival and a departure of an unknown interface give nothing", 0,
       "+a:17fe:82cd:A +a:17fe:82cd:Z -x -a -a", " +A/17fe:82cd -A/17fe:82cd"},
      {"a departure keeps what the module arrived with", 0, "+a:17fe:82cd:A:held -a",
       " +A/17fe:82cd! -A/17fe:82cd!"},
      {"a key used again names a new module", 0, "+a:17fe:82cd:A -a +a:17fe:82cd:B",
       " +A/17fe:82cd -A/17fe:82cd +B/17fe:82cd"},
      {"a sweep reports what it no longer shows as left, in arrival order", 0,
       "+a:17fe:82cd:A +b:17fe:82cd:B +c:17fe:82cd:C [ +b +d:17fe:82cd:D ]",
       " +A/17fe:82cd +B/17fe:82cd +C/17fe:82cd +D/17fe:82cd -A/17fe:82cd -C/17fe:82cd"},
      {"a sweep end without its beginning removes nothing", 0, "+a:17fe:82cd:A ]", " +A/17fe:82cd"},
      {"unreadable IDs: passed over; unreadable serial: empty", 0, "+a:? +b:17fe:82cd",
       " +/17fe:82cd"},
      {"mode 1: the lenient product only", 1, "+a:17fe:82cd:A +b:17fe:8200:L +c:10c4:8200:X",
       " +L/17fe:8200"},
      {"mode 3: the secondary vendor only", 3, "+a:17fe:82cd:A +b:10c4:82cd:B", " +B/10c4:82cd"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(EventsOf(row.mode, row.changes), row.events) << row.what;
  }
}

}  // namespace
}  // namespace ksv
