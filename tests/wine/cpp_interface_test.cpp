// The C++ interface under Wine, over the simulator DLL beside this program (its built-in set):
// a reply, a time-out as an error code and as an exception, a module not found, and a module that
// moves and closes once.
#include <cstdint>
#include <string>
#include <system_error>

#include "KSVHidApi.hpp"
#include "checks.h"

int main() {
  const std::uint8_t command[] = {0x10, 0x20};
  KSV_CHECK_EQ(ksv::module_count(), 4);
  {
    ksv::Module module = ksv::Module::open("KSV-SIM-0001");
    const ksv::Reply reply = module.exchange(command, sizeof command);
    KSV_CHECK(reply.result == ksv::result::report_id_1 && reply.accepted());
    KSV_CHECK_EQ(reply.data[0], 0x11);  // every byte plus one

    ksv::Module moved = std::move(module);
    KSV_CHECK(!ksv::Module::try_open("KSV-SIM-0001"));
    KSV_CHECK(moved.exchange(command, sizeof command).result == ksv::result::report_id_1);
  }
  KSV_CHECK(ksv::Module::try_open("KSV-SIM-0001").has_value());

  ksv::Module silent = ksv::Module::open("KSV-SIM-0003");
  std::error_code error;
  silent.exchange(command, sizeof command, error);
  KSV_CHECK(error == ksv::result::timed_out);
  KSV_CHECK_MSG(error.message() == "timed out", error.message());
  bool thrown = false;
  try {
    silent.exchange(command, sizeof command);
  } catch (const ksv::exchange_error& e) {
    thrown = e.result() == ksv::result::timed_out;
  }
  KSV_CHECK(thrown);

  thrown = false;
  try {
    ksv::Module::open("NOPE");
  } catch (const ksv::module_not_found& e) {
    thrown = e.serial() == "NOPE";
  }
  KSV_CHECK(thrown);
  return ksv::test::Finish("cpp_interface_test");
}
