// The public header names the exchange results once; every other place that lists them (the
// library's own constants, the Python and .NET bindings, the README's table) must say the same:
// the same names, values, and which results come with reply bytes.
#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "exchange/report.h"
#include "include/KSVHidApi.h"

namespace ksv {
namespace {

struct Vocabulary {
  std::map<std::string, int> values;  // by name without the KSVHID_ prefix
  std::set<int> with_reply;
};

// What the header's helpers say of every number a result could be.
Vocabulary FromHeader() {
  Vocabulary v;
  for (int r = -300; r <= 300; ++r) {
    if (const char* name = KSVHidResultName(r)) {
      v.values[name] = r;
      EXPECT_NE(KSVHidResultMeaning(r), nullptr) << name;
      if (KSVHidResultHasReply(r)) {
        v.with_reply.insert(r);
      }
    } else {
      EXPECT_EQ(KSVHidResultMeaning(r), nullptr) << r;
      EXPECT_EQ(KSVHidResultHasReply(r), 0) << r;
    }
  }
  return v;
}

std::string Read(const std::string& relative) {
  std::ifstream file(std::string(KSV_SOURCE_DIR) + "/" + relative);
  EXPECT_TRUE(file) << relative;
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The text between the first `from` and the next `to` after it.
std::string Between(const std::string& text, const std::string& from, const std::string& to) {
  const std::size_t start = text.find(from);
  if (start == std::string::npos) {
    ADD_FAILURE() << "no " << from;
    return {};
  }
  return text.substr(start, text.find(to, start) - start);
}

// Every "NAME = VALUE" of a block; `rename` turns the header's name into the block's.
std::map<std::string, int> Members(const std::string& block) {
  std::map<std::string, int> members;
  const std::regex member(R"(\b([A-Za-z][A-Za-z0-9_]*) = (-?[0-9]+))");
  for (auto it = std::sregex_iterator(block.begin(), block.end(), member);
       it != std::sregex_iterator(); ++it) {
    members[(*it)[1]] = std::stoi((*it)[2]);
  }
  return members;
}

// REPORT_ID_1 -> ReportId1, as .NET names it.
std::string Pascal(const std::string& name) {
  std::string out;
  bool upper = true;
  for (char c : name) {
    if (c == '_') {
      upper = true;
      continue;
    }
    out += static_cast<char>(upper ? c : std::tolower(static_cast<unsigned char>(c)));
    upper = false;
  }
  return out;
}

TEST(ResultVocabularyTest, EveryRestatementFollowsTheHeader) {
  const Vocabulary header = FromHeader();
  ASSERT_EQ(header.values.size(), 20u);
  EXPECT_EQ(header.with_reply, (std::set<int>{1, 0, 3, -15, -16}));
  EXPECT_EQ(kResultReplyId1, header.values.at("REPORT_ID_1"));
  EXPECT_EQ(kResultUnknownReportId, header.values.at("OTHER_REPORT_ID"));
  EXPECT_EQ(kResultOther, header.values.at("OTHER_ERROR"));

  // Python: the Result enumeration and the set of results that come with reply bytes.
  const std::string python = Read("bindings/python/src/ksvhid/_module.py");
  EXPECT_EQ(Members(Between(python, "class Result(", "\n\n\n")), header.values);
  const std::string replied = Between(python, "_REPLIED = frozenset({", "})");
  std::set<int> python_replied;
  const std::regex number(R"(-?[0-9]+)");
  for (auto it = std::sregex_iterator(replied.begin(), replied.end(), number);
       it != std::sregex_iterator(); ++it) {
    python_replied.insert(std::stoi(it->str()));
  }
  EXPECT_EQ(python_replied, header.with_reply);

  // .NET: the Result enumeration in its own casing, and the results the exchange hands back.
  std::map<std::string, int> pascal;
  std::set<std::string> pascal_replied;
  for (const auto& [name, value] : header.values) {
    pascal[Pascal(name)] = value;
    if (header.with_reply.count(value) != 0) {
      pascal_replied.insert(Pascal(name));
    }
  }
  const std::string dotnet = Read("bindings/dotnet/KsvHid.cs");
  EXPECT_EQ(Members(Between(dotnet, "public enum Result", "}")), pascal);
  const std::string cases = Between(dotnet, "switch ((Result)code)", "return new Reply");
  std::set<std::string> dotnet_replied;
  const std::regex label(R"(case Result\.([A-Za-z0-9]+):)");
  for (auto it = std::sregex_iterator(cases.begin(), cases.end(), label);
       it != std::sregex_iterator(); ++it) {
    dotnet_replied.insert((*it)[1]);
  }
  EXPECT_EQ(dotnet_replied, pascal_replied);

  // The README's table: one row per result, its value beside its name.
  const std::string readme = Read("README.md");
  for (const auto& [name, value] : header.values) {
    const std::string row = "| " + std::to_string(value) + " | `KSVHID_" + name + "` |";
    EXPECT_NE(readme.find(row), std::string::npos) << row;
  }
}

}  // namespace
}  // namespace ksv
