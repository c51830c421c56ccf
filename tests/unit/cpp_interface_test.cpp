// The C++ interface (KSVHidApi.hpp) over the simulator library: every kind of result, as a reply,
// an exception or an error code; modules not found or held; a serial number that is not ASCII;
// and handles that move and close exactly once.
#include "KSVHidApi.hpp"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace {

const std::uint8_t kCommand[] = {0x10, 0x20, 0x30};

class CppInterfaceTest : public testing::Test {
 protected:
  // Read by the simulator on the first call of the process.
  static void SetUpTestSuite() {
    const std::string file = testing::TempDir() + "cpp_modules.json";
    std::ofstream(file) << R"({"modules": [
      {"vendor": "0x17FE", "product": "0x82CD", "serial": "ECHO"},
      {"vendor": "0x17FE", "product": "0x82CD", "serial": "ID2", "report_id": 2},
      {"vendor": "0x17FE", "product": "0x8200", "serial": "ID3", "report_id": 3, "length": 20},
      {"vendor": "0x17FE", "product": "0x82CD", "serial": "ID4", "report_id": 4},
      {"vendor": "0x17FE", "product": "0x82CD", "serial": "SHORT", "length": 10},
      {"vendor": "0x17FE", "product": "0x82CD", "serial": "SILENT", "reply": "silent"},
      {"vendor": "0x17FE", "product": "0x82CD", "serial": "LEAVES", "unplug_after": 0},
      {"vendor": "0x17FE", "product": "0x82CD", "serial": "BUSY", "busy": true},
      {"vendor": "0x17FE", "product": "0x82CD", "serial": "K\u00f8-\u0141"}]})";
    setenv("KSVHID_SIMULATION", file.c_str(), 1);
  }
  void TearDown() override { ksv::set_mode(0); }
};

TEST_F(CppInterfaceTest, ListsAndVersion) {
  EXPECT_EQ(ksv::version().major, 1);
  // Not the one held elsewhere, not the mode-1 module.
  EXPECT_EQ(ksv::module_count(), 7);
  const std::vector<std::string> serials = ksv::list_modules();
  ASSERT_EQ(serials.size(), 7u);
  EXPECT_EQ(serials.front(), "ECHO");
  EXPECT_EQ(serials.back(), "K\xf8-A") << "the low byte of each UTF-16 unit";
  EXPECT_FALSE(ksv::set_mode(4));
  EXPECT_TRUE(ksv::set_mode(1));
}

TEST_F(CppInterfaceTest, EveryResultAsAReplyAnExceptionOrAnErrorCode) {
  const struct {
    const char* serial;
    int mode;
    ksv::result result;
    bool with_reply;
  } rows[] = {
      {"ECHO", 0, ksv::result::report_id_1, true},
      {"ID2", 0, ksv::result::report_id_2, true},
      {"ID3", 1, ksv::result::report_id_3, true},
      {"ID4", 0, ksv::result::other_report_id, true},
      {"SHORT", 0, ksv::result::wrong_length, true},
      {"SILENT", 0, ksv::result::timed_out, false},
      {"LEAVES", 0, ksv::result::other_error, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.serial);
    ksv::set_mode(row.mode);
    ksv::Module module = ksv::Module::open(row.serial);
    std::error_code error;
    const ksv::Reply reply = module.exchange(kCommand, sizeof kCommand, error);
    EXPECT_EQ(reply.result, row.result);
    EXPECT_EQ(!error, row.with_reply);
    EXPECT_EQ(reply.accepted(), row.with_reply && row.result != ksv::result::other_report_id &&
                                    row.result != ksv::result::wrong_length);
    if (row.with_reply) {
      EXPECT_EQ(reply.data[0], 0x10) << "the simulated module echoes";
      EXPECT_EQ(module.exchange(kCommand, sizeof kCommand).result, row.result);
    } else {
      EXPECT_EQ(error, row.result);
      EXPECT_EQ(error.category().name(), std::string("KSVHidApi"));
      EXPECT_EQ(error.message(), KSVHidResultMeaning(static_cast<int>(row.result)));
      try {
        module.exchange(kCommand, sizeof kCommand);
        ADD_FAILURE() << "no exception";
      } catch (const ksv::exchange_error& e) {
        EXPECT_EQ(e.code(),
                  row.result == ksv::result::other_error ? row.result : ksv::result::timed_out);
      }
    }
  }
  std::error_code error;
  std::uint8_t long_command[64] = {};
  ksv::Module echo = ksv::Module::open("ECHO");
  echo.exchange(long_command, sizeof long_command, error);
  EXPECT_EQ(error, std::errc::invalid_argument);
  EXPECT_THROW(echo.exchange(long_command, sizeof long_command), std::invalid_argument);
}

TEST_F(CppInterfaceTest, NotFoundHeldAndNonAscii) {
  EXPECT_THROW(ksv::Module::open("NOPE"), ksv::module_not_found);
  EXPECT_FALSE(ksv::Module::try_open("BUSY").has_value()) << "held by another program";
  try {
    ksv::Module::open("ECH");
    ADD_FAILURE() << "a prefix opened a module";
  } catch (const ksv::module_not_found& e) {
    EXPECT_EQ(e.serial(), "ECH");
  }
  EXPECT_TRUE(ksv::Module::try_open("K\xf8-A").has_value());
}

TEST_F(CppInterfaceTest, AModuleMovesAndClosesOnce) {
  std::optional<ksv::Module> first = ksv::Module::try_open("ECHO");
  ASSERT_TRUE(first);
  EXPECT_FALSE(ksv::Module::try_open("ECHO")) << "open exclusively";
  ksv::Module moved = std::move(*first);
  first.reset();  // the moved-from module closes nothing
  EXPECT_FALSE(ksv::Module::try_open("ECHO")) << "still held by the module it moved to";
  EXPECT_EQ(moved.exchange(kCommand, sizeof kCommand).result, ksv::result::report_id_1);
  moved = ksv::Module::open("ID2");  // the ECHO handle closes here
  EXPECT_TRUE(ksv::Module::try_open("ECHO"));
  EXPECT_EQ(moved.exchange(kCommand, sizeof kCommand).result, ksv::result::report_id_2);
}

}  // namespace
