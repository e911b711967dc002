#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_server.h"
#include "serial/telnet_codec.h"
#include "serial/telnet_options.h"

namespace pelorus::testing {
namespace {

using namespace telnet;
using Command = TelnetCodec::Command;
using State = TelnetOptions::State;
using namespace std::string_literals;

// Each stream is decoded as the reads bring it, whole, and a byte at a time (which also
// splits every IAC IAC).
TEST(TelnetCodec, DecodesCommandsApartFromDataWhereverTheReadsSplitThem) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;  // as the reads bring them
    std::string data;
    std::vector<Command> commands;
    int errors;
  };
  const std::string long_sub(100000, 'x');
  const std::vector<Case> cases = {
      {"three 0xFF in a row",
       {Bytes({255, 255, 255}), Bytes({255, 255, 255})},
       Bytes({255, 255, 255}),
       {},
       0},
      {"commands between data",
       {Bytes({'a', 255, kDo, 3, 'b', 255, kWont, 1, 'c', 255, kWill}), Bytes({44, 'd'})},
       "abcd",
       {{kDo, 3, ""}, {kWont, 1, ""}, {kWill, 44, ""}},
       0},
      {"NOP and GA are dropped", {Bytes({'a', 255, 241, 'b', 255, 249, 'c'})}, "abc", {}, 0},
      {"subnegotiation with escaped bytes",
       {Bytes({'<', 255, kSb, 44, 101, 255, 255, 0, 255, 255, 1, 255, kSe, '>'})},
       "<>",
       {{kSb, 44, Bytes({101, 255, 0, 255, 1})}},
       0},
      {"IAC and a byte that is no command", {Bytes({'a', 255, 7, 'b'})}, "ab", {}, 1},
      {"SE outside a subnegotiation", {Bytes({'a', 255, kSe, 'b'})}, "ab", {}, 1},
      {"a subnegotiation cut short by a command",
       {Bytes({255, kSb, 44, 1, 0, 255, kWill, 3, 'z'})},
       "z",
       {{kWill, 3, ""}},
       1},
      {"a subnegotiation that never ends is dropped, not kept",
       {Bytes({255, kSb, 44}), long_sub, Bytes({255, kSe}), "ok"},
       "ok",
       {},
       1},
  };
  for (const Case& each : cases) {
    const std::string whole = std::accumulate(each.chunks.begin(), each.chunks.end(), ""s);
    std::vector<std::string> single_bytes;
    for (const char byte : whole) {
      single_bytes.emplace_back(1, byte);
    }
    for (const auto& chunks : {each.chunks, std::vector<std::string>{whole}, single_bytes}) {
      TelnetCodec codec;
      std::string data;
      std::vector<Command> commands;
      for (const std::string& chunk : chunks) {
        codec.Decode(chunk.data(), chunk.size(), &data, &commands);
      }
      EXPECT_EQ(data, each.data) << each.name;
      EXPECT_EQ(commands, each.commands) << each.name;
      EXPECT_EQ(codec.Errors(), each.errors) << each.name;
    }
  }
}

// What goes out: control escaped like data (data itself the wire tests see), and where a
// write cut short must still finish the unit it started.
TEST(TelnetCodec, EscapesControlAndFinishesWhatAHalfSentStreamStarted) {
  EXPECT_EQ(TelnetCodec::Subnegotiation(kComPort, Bytes({1, 0, 0, 255, 0})),
            Bytes({255, kSb, 44, 1, 0, 0, 255, 255, 0, 255, kSe}));
  const std::string stream =
      Bytes({'a', 255, 255, 'b', 255, kWill, 3, 255, kSb, 44, 1, 255, 255, 0, 255, kSe, 'c'});
  // offset -> where the unit it falls into ends
  const std::vector<std::pair<std::size_t, std::size_t>> cases = {
      {0, 0}, {1, 1},  {2, 3},   {3, 3},   {5, 7},   {6, 7},
      {7, 7}, {8, 16}, {12, 16}, {15, 16}, {16, 16}, {17, 17}};
  for (const auto& [offset, end] : cases) {
    EXPECT_EQ(TelnetCodec::EndOfUnit(stream, offset), end) << "offset " << offset;
  }
}

TEST(TelnetOptions, AgreesToWhatAConsoleNeedsRefusesTheRestAndNeverLoops) {
  TelnetOptions options;
  EXPECT_EQ(options.Offers(),
            Bytes({255, kDo, 0, 255, kDo, 3, 255, kWill, 0, 255, kWill, 3, 255, kWill, 44}));
  EXPECT_EQ(options.Ours(kComPort), State::kAsked);

  struct Step {
    unsigned char verb;
    unsigned char option;
    std::string answer;
  };
  // The console server's opening, then its repeats, then options nobody asked for.
  const std::vector<Step> steps = {
      {kWill, kSuppressGoAhead, ""},
      {kDo, kSuppressGoAhead, ""},
      {kWill, kEcho, Bytes({255, kDont, 1})},
      {kDont, kEcho, ""},
      {kDo, kBinary, ""},
      {kWill, kBinary, ""},
      {kDo, kComPort, ""},
      {kDo, kSuppressGoAhead, ""},
      {kWill, kEcho, Bytes({255, kDont, 1})},
      {kDo, 24, Bytes({255, kWont, 24})},
      {kWill, 31, Bytes({255, kDont, 31})},
      {kDont, 31, ""},
      {kWont, 31, ""},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(options.Receive(step.verb, step.option), step.answer)
        << int(step.verb) << " " << int(step.option);
  }
  EXPECT_EQ(options.Ours(kComPort), State::kYes);

  // Switched off by the server: acknowledged once, then quiet.
  EXPECT_EQ(options.Receive(kWont, kBinary), Bytes({255, kDont, 0}));
  EXPECT_EQ(options.Receive(kWont, kBinary), "");
  EXPECT_EQ(options.Theirs(kBinary), State::kNo);
}

}  // namespace
}  // namespace pelorus::testing
