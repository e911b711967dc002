#include "programming/programming_dialogue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "recording_surroundings.h"

namespace pelorus {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kReadBackCommand = "Write:d -b -p 0x1fd0000c 6\n";

class ProgrammingDialogueTest : public ::testing::Test {
 protected:
  void Feed(const std::string& chunk) {
    EXPECT_EQ(dialogue_.OnPortData(chunk.data(), chunk.size()), 1);
  }
  // What the device got from us: sends, waits and the banner, without the data exchange.
  std::vector<std::string> Answers() {
    std::vector<std::string> answers;
    for (const std::string& call : window_.calls) {
      if (call != "Load" && call != "Store" && call != "Scroll" && call.rfind("Log:", 0) != 0 &&
          (record_ || (call.rfind("AboutToWrite:", 0) != 0 && call.rfind("Verified:", 0) != 0 &&
                       call != "Next"))) {
        answers.push_back(call);
      }
    }
    window_.calls.clear();
    return answers;
  }

  testing::RecordingSurroundings window_;
  MacAddressFields& fields_ = window_.fields;
  ProgrammingDialogue dialogue_{fields_, window_};
  bool record_ = false;  // Answers() includes what the window is told of the address
};

// Each trigger line gets its answer, logged first: the first trigger on a line acts alone, with
// its exact bytes and wait. Only CR ends a line, and a port opened afresh starts a clean one.
TEST_F(ProgrammingDialogueTest, EachTriggerLineIsAnsweredAloneAndOnlyCarriageReturnEndsIt) {
  Feed("CODE\r\n");
  EXPECT_THAT(window_.calls, ElementsAre("Load", "Log:CODE\r", "Write:\x03", "Wait:100", "Log:\n",
                                         "Store", "Scroll"));
  window_.calls.clear();
  Feed("CODE 480 done 00 1A 2B 3C 4D 5E\r");
  EXPECT_THAT(Answers(), ElementsAre("Write:\x03", "Wait:100"));
  Feed("480 done 00 1A 2B 3C 4D 5E\r");
  EXPECT_THAT(Answers(), ElementsAre("Wait:500", "Write:macprog2 00-1A-2B-3C-4D-5E\n"));
  Feed("xxxxdone 00 1A 2B 3C 4D 5E\r\nok\r\n");
  EXPECT_THAT(Answers(), ElementsAre("Wait:1000", kReadBackCommand, "Wait:100", "Wait:100"));
  Feed("code Done 480\rCODE\r");
  EXPECT_THAT(Answers(), ElementsAre("Wait:500", "Write:macprog2 00-1A-2B-3C-4D-5E\n", "Write:\x03",
                                     "Wait:100"));

  Feed("48\n0\r");
  EXPECT_THAT(Answers(), ElementsAre("Wait:500", "Write:macprog2 00-1A-2B-3C-4D-5E\n"));
  Feed("CO");
  dialogue_.Restart();
  Feed("DE\r");
  EXPECT_THAT(Answers(), IsEmpty());
}

TEST_F(ProgrammingDialogueTest,
       SuccessKeepsTheLogThenStepsForTheNextDeviceButNotIntoAGroupAddress) {
  window_.log_box = "earlier\n";
  Feed("x\r\n00 1A 2B 3C 4D 5E\r\nnext");
  EXPECT_THAT(window_.calls,
              ElementsAre("Load", "Log:x\r\n00 1A 2B 3C 4D 5E\r",
                          "Verified:00:1A:2B:3C:4D:5E|00 1A 2B 3C 4D 5E", "Store",
                          "Alert: MAC Write Success \n(00:1A:2B:3C:4D:5E)", "Modal", "Next", "Load",
                          "Store", "Scroll", "Store", "Log:\nnext", "Store", "Scroll"));
  EXPECT_EQ(window_.log_box, "earlier\nx\r\n00 1A 2B 3C 4D 5E\r\nnext");
  EXPECT_EQ(fields_.OCTET6, "5f");
  EXPECT_EQ(window_.boxes, "00:1A:2B:3C:4D:5F");
  window_.calls.clear();

  // Two devices read back in one chunk: the second is judged against the stepped strings,
  // which are lower case until the next load, and still matches.
  Feed("00 1A 2B 3C 4D 5F\r00 1A 2B 3C 4D 60\r");
  EXPECT_THAT(Answers(), ElementsAre("Alert: MAC Write Success \n(00:1A:2B:3C:4D:5F)", "Modal",
                                     "Alert: MAC Write Success \n(00:1a:2b:3c:4d:60)", "Modal"));
  EXPECT_EQ(window_.boxes, "00:1A:2B:3C:4D:61");

  // A next address that would be a group address ends the run after the banner; the address
  // just written cannot be started again as it stands.
  window_.boxes = "00:FF:FF:FF:FF:FF";
  Feed("00 FF FF FF FF FF\r\nCODE\r\n");
  EXPECT_THAT(Answers(),
              ElementsAre("Alert: MAC Write Success \n(00:FF:FF:FF:FF:FF)", "Modal",
                          "Stop:The address after 00:FF:FF:FF:FF:FF is a group (multicast) "
                          "address, which no device may take. The run has stopped: type a new "
                          "first address."));
  EXPECT_EQ(window_.boxes, ":FF:FF:FF:FF:FF");
}

// The banner says "MAC Write Success" only where the device shows the whole address: six
// whole octets in either case, and on a dump line of the address's memory its first six bytes.
TEST_F(ProgrammingDialogueTest, ReadBackCountsOnlyTheWholeAddressWhereTheDeviceShowsIt) {
  const std::pair<const char*, bool> cases[] = {{"1fd0000c: 00 11 22 33 44 5A", true},
                                                {"1fd0000c: 00 11 22 33 44 5a    ..\"3DZ", true},
                                                {"0x1FD0000C:\t00  11 22 33 44 5A", true},
                                                {"MAC is 00 11 22 33 44 5a now", true},
                                                {"=>00 11 22 33 44 5A", true},
                                                {"1fd0000c: 100 11 22 33 44 5A6", false},
                                                {"1fd0000c: ff 00 11 22 33 44 5A", false},
                                                {"1fd0000c: 00 11 22 33 44", false},
                                                {"1fd0000c 00 11 22 33 44 5B", false},
                                                {"A00 11 22 33 44 5A", false},
                                                {"00 11 22 33 44 5Ab", false},
                                                {"00 11 22 33 44 5A0", false},
                                                {"00 11 22 33 44  5A", false}};
  for (const auto& [line, success] : cases) {
    window_.boxes = "00:11:22:33:44:5A";
    Feed(line + std::string("\r\n"));
    EXPECT_EQ(!Answers().empty(), success) << line;
    EXPECT_EQ(fields_.OCTET6, success ? "5b" : "5A") << line;
  }
}

// The operator ends the run during one of the dialogue's waits: not one more byte goes to the
// device, and nothing later is answered until the port is opened afresh, though it is logged.
TEST_F(ProgrammingDialogueTest, StoppedWaitSendsNothingMore) {
  const std::string device = "CODE\r\n480\r\ndone\r\n";
  const std::vector<std::string> full = {
      "Write:\x03", "Wait:100",       "Wait:500", "Write:macprog2 00-1A-2B-3C-4D-5E\n",
      "Wait:1000",  kReadBackCommand, "Wait:100", "Wait:100"};
  const int waits_before[] = {1, 2, 4, 6, 7};  // where each wait stands in `full`, from 0
  for (int stop = 1; stop <= 5; ++stop) {
    window_.log_box.clear();
    window_.boxes = "00:1A:2B:3C:4D:5E";
    window_.waits = 0;
    window_.stop_at_wait = stop;
    dialogue_.Restart();
    Feed(device);
    Feed("CODE\r\n00 1A 2B 3C 4D 5E\r\n");
    const std::vector<std::string> expected(full.begin(),
                                            full.begin() + waits_before[stop - 1] + 1);
    EXPECT_EQ(Answers(), expected) << "stopped in wait " << stop;
    EXPECT_EQ(window_.log_box, device + "CODE\r\n00 1A 2B 3C 4D 5E\r\n");
  }
  dialogue_.Restart();
  Feed("CODE\r");
  EXPECT_THAT(Answers(), ElementsAre("Write:\x03", "Wait:100"));
}

// A window that keeps the address on record is told before the command goes out (within the
// wait) and before the banner, with the device's line, and may give the next address itself;
// where it says no, nothing more goes to the device.
TEST_F(ProgrammingDialogueTest, WindowKeepingTheAddressOnRecordHasItsSay) {
  record_ = true;
  window_.next_address = "00:1A:2B:3C:4D:70";
  Feed("480\r\n1fd0000c: 00 1a 2b 3c 4d 5e\r\n480\r\n");
  EXPECT_THAT(Answers(), ElementsAre("Wait:500", "AboutToWrite:00-1A-2B-3C-4D-5E",
                                     "Write:macprog2 00-1A-2B-3C-4D-5E\n",
                                     "Verified:00:1A:2B:3C:4D:5E|1fd0000c: 00 1a 2b 3c 4d 5e",
                                     "Alert: MAC Write Success \n(00:1A:2B:3C:4D:5E)", "Modal",
                                     "Next", "Wait:500", "AboutToWrite:00-1A-2B-3C-4D-70",
                                     "Write:macprog2 00-1A-2B-3C-4D-70\n"));
  EXPECT_EQ(window_.boxes, "00:1A:2B:3C:4D:70");

  const auto stops_after = [&](const std::string& device, const std::string& last) {
    dialogue_.Restart();
    Feed(device + "480\r\nCODE\r\n");
    const std::vector<std::string> answers = Answers();
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back(), last) << device;
  };
  window_.write_allowed = false;
  stops_after("480\r\n", "AboutToWrite:00-1A-2B-3C-4D-70");
  window_.write_allowed = true;
  window_.verified_recorded = false;
  stops_after("00 1A 2B 3C 4D 70\r\n", "Verified:00:1A:2B:3C:4D:70|00 1A 2B 3C 4D 70");
  window_.verified_recorded = true;
  window_.next_address = "none";
  stops_after("00 1A 2B 3C 4D 70\r\n", "Next");
  EXPECT_EQ(window_.boxes, "00:1A:2B:3C:4D:70");
}

TEST_F(ProgrammingDialogueTest, AnyChunkingGivesTheSameAnswersAndTheWholeLog) {
  // Zero bytes sit inside the CODE line and after the last line; "done" arrives split by a
  // line feed, and in one-byte chunks every line is split.
  const std::string device = "U-Boot\r\n" + std::string("CO\0DE\0\r\n", 8) +
                             std::string(3000, 'z') + "\r\n480\r\ndo\nne\r\n" +
                             "1fd0000c: 00 1A 2B 3C 4D 5E\r\n" + std::string("\0tail", 5);
  for (std::size_t size : {std::size_t{1}, std::size_t{7}, std::size_t{4095}}) {
    window_.log_box.clear();
    window_.boxes = "00:1A:2B:3C:4D:5E";
    for (std::size_t at = 0; at < device.size(); at += size) {
      Feed(device.substr(at, size));
    }
    EXPECT_EQ(window_.log_box, device) << "chunk size " << size;
    EXPECT_THAT(Answers(), ElementsAre("Write:\x03", "Wait:100", "Wait:500",
                                       "Write:macprog2 00-1A-2B-3C-4D-5E\n", "Wait:1000",
                                       kReadBackCommand, "Wait:100", "Wait:100",
                                       "Alert: MAC Write Success \n(00:1A:2B:3C:4D:5E)", "Modal"))
        << "chunk size " << size;
  }
}

// What the dialogue keeps is bounded: a line by its first 1023 bytes, the commands and the
// read-back it looks for by their buffers, whatever the octet strings hold.
TEST_F(ProgrammingDialogueTest, LinesCommandsAndReadBackStayInTheirBuffers) {
  Feed(std::string(1019, 'x') + "CODE" + std::string(5000, 'y') + "\r");
  EXPECT_THAT(Answers(), ElementsAre("Write:\x03", "Wait:100"));
  Feed(std::string(1020, 'x') + "CODE\r");
  EXPECT_THAT(Answers(), IsEmpty());
  Feed("CODE\r");
  EXPECT_THAT(Answers(), ElementsAre("Write:\x03", "Wait:100"));

  window_.boxes = "BBBB:BBBB:CCCC:DDDD:EEEE:FFFF";
  Feed("480\r");
  EXPECT_THAT(Answers(), ElementsAre("Wait:500", "Write:macprog2 BBBB-BBBB-CCCC-DD\n"));
  Feed("BBBB BBBB CCCC DD\r");
  EXPECT_THAT(Answers(),
              ElementsAre("Alert: MAC Write Success \n(BBBB:BBBB:CCCC:DDDD:EEEE:FFFF)", "Modal"));
  // The step keeps the low byte of each value, so the strings are back to two characters.
  EXPECT_EQ(fields_.Joined(""), "bcbccddeef00");

  window_.boxes = "1:2:3:4:5:6";
  Feed("480\r");
  EXPECT_THAT(Answers(),
              ElementsAre("Wait:500", "Write:macprog2 1-2-3-4-5-6" + std::string(6, '\0') + "\n"));
}

}  // namespace
}  // namespace pelorus
