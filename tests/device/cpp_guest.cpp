// The C++ interface over the real library and hidraw, against the device suite's virtual modules
// on the uhid bed: listed, opened once, a reply as bytes, a time-out as an error code, and the
// modules present as a watch reports them.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "KSVHidApi.hpp"
#include "checks.h"

int main() {
  const std::vector<std::string> serials = ksv::list_modules();
  KSV_CHECK(std::find(serials.begin(), serials.end(), "KSV-A") != serials.end());

  const std::uint8_t command[] = {0x01, 0x02};
  ksv::Module a = ksv::Module::open("KSV-A");
  KSV_CHECK(!ksv::Module::try_open("KSV-A"));
  const ksv::Reply reply = a.exchange(command, sizeof command);
  KSV_CHECK(reply.result == ksv::result::report_id_1);
  KSV_CHECK_EQ(reply.data[0], 0x01 ^ 0x5a);  // the module echoes every byte XOR 0x5a
  KSV_CHECK_EQ(reply.data[2], 0x5a);

  KSV_CHECK(ksv::Module::open("KSV-B").exchange(command, sizeof command).result ==
            ksv::result::report_id_2);

  // The module ignores its first command.
  ksv::Module quiet = ksv::Module::open("KSV-QUIET");
  std::error_code error;
  quiet.exchange(command, sizeof command, error);
  KSV_CHECK_MSG(error == ksv::result::timed_out, error.message());
  KSV_CHECK(quiet.exchange(command, sizeof command, error).result == ksv::result::report_id_1);
  KSV_CHECK_MSG(!error, error.message());

  // A watch reports first every module present, free or held: KSV-A and KSV-QUIET are held here.
  ksv::Watch watch(0);
  std::vector<std::string> arrived;
  while (const std::optional<ksv::WatchEvent> event = watch.next(std::chrono::milliseconds(500))) {
    KSV_CHECK(event->arrived);
    arrived.push_back(event->serial);
    if (event->serial == "KSV-A") {
      KSV_CHECK_EQ(event->vendor_id, 0x17FE);
      KSV_CHECK_EQ(event->free, KSVHID_WATCH_HELD);
    }
  }
  KSV_CHECK(std::find(arrived.begin(), arrived.end(), "KSV-A") != arrived.end());
  KSV_CHECK(std::find(arrived.begin(), arrived.end(), "KSV-B") != arrived.end());
  return ksv::test::Finish("cpp_guest");
}
