#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "serial/telnet_codec.h"
#include "serial/telnet_options.h"

namespace pelorus::testing {
namespace {

using namespace telnet;
using Command = TelnetCodec::Command;
using State = TelnetOptions::State;

std::string Bytes(std::initializer_list<unsigned> values) {
  std::string bytes;
  for (const unsigned value : values) {
    bytes += static_cast<char>(value);
  }
  return bytes;
}

struct DecodeCase {
  const char* name;
  std::vector<std::string> chunks;  // as the reads bring them
  std::string data;
  std::vector<Command> commands;
  int errors;
};

struct Decoded {
  std::string data;
  std::vector<Command> commands;
  int errors = 0;
};

Decoded DecodeChunks(const std::vector<std::string>& chunks) {
  TelnetCodec codec;
  Decoded out;
  for (const std::string& chunk : chunks) {
    codec.Decode(chunk.data(), chunk.size(), &out.data, &out.commands);
  }
  out.errors = codec.Errors();
  return out;
}

TEST(TelnetCodec, DecodesCommandsApartFromDataWhereverTheReadsSplitThem) {
  const std::string long_sub(100000, 'x');
  const std::vector<DecodeCase> cases = {
      {"plain data", {"boot\r\n", "=> "}, "boot\r\n=> ", {}, 0},
      {"IAC IAC is one 0xFF", {Bytes({'a', 255, 255, 'b'})}, Bytes({'a', 255, 'b'}), {}, 0},
      {"IAC IAC split across reads",
       {Bytes({'a', 255}), Bytes({255, 'b'})},
       Bytes({'a', 255, 'b'}),
       {},
       0},
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
      {"subnegotiation split in every place",
       {Bytes({255}), Bytes({kSb}), Bytes({44}), Bytes({102, 255}), Bytes({255}), Bytes({255}),
        Bytes({kSe})},
       "",
       {{kSb, 44, Bytes({102, 255})}},
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
  for (const DecodeCase& each : cases) {
    std::string whole;
    std::vector<std::string> single_bytes;
    for (const std::string& chunk : each.chunks) {
      whole += chunk;
    }
    for (const char byte : whole) {
      single_bytes.emplace_back(1, byte);
    }
    for (const auto& chunks : {each.chunks, std::vector<std::string>{whole}, single_bytes}) {
      const Decoded got = DecodeChunks(chunks);
      EXPECT_EQ(got.data, each.data) << each.name;
      EXPECT_EQ(got.commands, each.commands) << each.name;
      EXPECT_EQ(got.errors, each.errors) << each.name;
    }
  }
}

TEST(TelnetCodec, EscapedDataComesBackUnchangedInAnyChunks) {
  std::mt19937 random(7);
  std::string data(1 << 16, '\0');
  for (char& byte : data) {
    byte = static_cast<char>(random() % 3 == 0 ? 255 : random());
  }
  const std::string escaped = TelnetCodec::Escape(data.data(), data.size());
  EXPECT_EQ(escaped.size(), data.size() + std::count(data.begin(), data.end(), '\xff'));
  TelnetCodec codec;
  std::string got;
  std::vector<Command> commands;
  for (std::size_t at = 0; at < escaped.size();) {
    const std::size_t n = std::min<std::size_t>(1 + random() % 7, escaped.size() - at);
    codec.Decode(escaped.data() + at, n, &got, &commands);
    at += n;
  }
  EXPECT_EQ(got, data);
  EXPECT_TRUE(commands.empty());
  EXPECT_EQ(codec.Errors(), 0);

  EXPECT_EQ(TelnetCodec::Subnegotiation(kComPort, Bytes({1, 0, 0, 255, 0})),
            Bytes({255, kSb, 44, 1, 0, 0, 255, 255, 0, 255, kSe}));
  EXPECT_EQ(TelnetCodec::Negotiation(kDont, kEcho), Bytes({255, kDont, 1}));
}

TEST(TelnetCodec, EndOfUnitFinishesWhatAHalfSentStreamStarted) {
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
  EXPECT_EQ(options.Ours(kBinary), State::kYes);
  EXPECT_EQ(options.Theirs(kBinary), State::kYes);
  EXPECT_EQ(options.Theirs(kEcho), State::kNo);
  EXPECT_EQ(options.Ours(24), State::kNo);

  // Switched off by the server: acknowledged once, then quiet.
  EXPECT_EQ(options.Receive(kWont, kBinary), Bytes({255, kDont, 0}));
  EXPECT_EQ(options.Receive(kWont, kBinary), "");
  EXPECT_EQ(options.Theirs(kBinary), State::kNo);

  TelnetOptions refused;
  refused.Offers();
  EXPECT_EQ(refused.Receive(kDont, kComPort), "");
  EXPECT_EQ(refused.Ours(kComPort), State::kNo);
}

}  // namespace
}  // namespace pelorus::testing
