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
  ProgrammingDialogueTest() {
    window_.Attach(fields_);
    window_.Type({"00", "1A", "2B", "3C", "4D", "5E"});
  }

  void Feed(const std::string& chunk) {
    EXPECT_EQ(dialogue_.OnPortData(chunk.data(), chunk.size()), 1);
  }
  // What the device got from us: sends, waits and the banner, without the data exchange.
  std::vector<std::string> Answers() {
    std::vector<std::string> answers;
    for (const std::string& call : window_.calls) {
      if (call != "Load" && call != "Store" && call != "Scroll" && call.rfind("Log:", 0) != 0) {
        answers.push_back(call);
      }
    }
    window_.calls.clear();
    return answers;
  }

  testing::RecordingSurroundings window_;
  MacAddressFields fields_{window_};
  ProgrammingDialogue dialogue_{fields_, window_};
};

TEST_F(ProgrammingDialogueTest, InterruptIsLoggedSentAndWaitedInOrder) {
  Feed("CODE\r\n");
  EXPECT_THAT(window_.calls, ElementsAre("Load", "Log:CODE\r", "Write:\x03", "Wait:100", "Log:\n",
                                         "Store", "Scroll"));
}

TEST_F(ProgrammingDialogueTest, FirstMatchingTriggerActsAloneWithItsExactBytesAndWaits) {
  Feed("CODE 480 done 00 1A 2B 3C 4D 5E\r");
  EXPECT_THAT(Answers(), ElementsAre("Write:\x03", "Wait:100"));
  Feed("480 done 00 1A 2B 3C 4D 5E\r");
  EXPECT_THAT(Answers(), ElementsAre("Wait:500", "Write:macprog2 00-1A-2B-3C-4D-5E\n"));
  Feed("xxxxdone 00 1A 2B 3C 4D 5E\r\nok\r\n");
  EXPECT_THAT(Answers(), ElementsAre("Wait:1000", kReadBackCommand, "Wait:100", "Wait:100"));
  Feed("code Done 480\r00 1a 2b 3c 4d 5e\rCODE\r");
  EXPECT_THAT(Answers(), ElementsAre("Wait:500", "Write:macprog2 00-1A-2B-3C-4D-5E\n", "Write:\x03",
                                     "Wait:100"));
}

TEST_F(ProgrammingDialogueTest, OnlyCarriageReturnEndsALine) {
  Feed("48\n0\r");
  EXPECT_THAT(Answers(), ElementsAre("Wait:500", "Write:macprog2 00-1A-2B-3C-4D-5E\n"));
  Feed("CODE\n");
  EXPECT_THAT(Answers(), IsEmpty());
  Feed("\r");
  EXPECT_THAT(Answers(), ElementsAre("Write:\x03", "Wait:100"));
  // A port opened afresh starts with a clean line.
  Feed("CO");
  dialogue_.ResetLine();
  Feed("DE\r");
  EXPECT_THAT(Answers(), IsEmpty());
}

TEST_F(ProgrammingDialogueTest, SuccessKeepsTheLogThenStepsForTheNextDevice) {
  window_.log_box = "earlier\n";
  Feed("x\r\n00 1A 2B 3C 4D 5E\r\nnext");
  EXPECT_THAT(window_.calls,
              ElementsAre("Load", "Log:x\r\n00 1A 2B 3C 4D 5E\r", "Store",
                          "Alert: MAC Write Success \n(00:1A:2B:3C:4D:5E)", "Modal", "Load",
                          "Store", "Scroll", "Store", "Log:\nnext", "Store", "Scroll"));
  EXPECT_EQ(window_.log_box, "earlier\nx\r\n00 1A 2B 3C 4D 5E\r\nnext");
  EXPECT_EQ(fields_.OCTET6, "5f");
  EXPECT_EQ(window_.octet_boxes[5], "5F");
  window_.calls.clear();

  // The next device is judged against the boxes (upper case); the read-back in the strings'
  // own lower case then does not match.
  Feed("00 1a 2b 3c 4d 5f\r00 1A 2B 3C 4D 5F\r");
  EXPECT_THAT(Answers(), ElementsAre("Alert: MAC Write Success \n(00:1A:2B:3C:4D:5F)", "Modal"));
  EXPECT_EQ(window_.octet_boxes[5], "60");
}

TEST_F(ProgrammingDialogueTest, AnyChunkingGivesTheSameAnswersAndTheWholeLog) {
  // Zero bytes sit inside the CODE line and after the last line; "done" arrives split by a
  // line feed, and in one-byte chunks every line is split.
  const std::string device = "U-Boot\r\n" + std::string("CO\0DE\0\r\n", 8) +
                             std::string(3000, 'z') + "\r\n480\r\ndo\nne\r\n" +
                             "1fd0000c: 00 1A 2B 3C 4D 5E\r\n" + std::string("\0tail", 5);
  for (std::size_t size : {std::size_t{1}, std::size_t{7}, std::size_t{4095}}) {
    window_.log_box.clear();
    window_.Type({"00", "1A", "2B", "3C", "4D", "5E"});
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

TEST_F(ProgrammingDialogueTest, OverlongLineKeepsItsFirst1023Bytes) {
  Feed(std::string(1019, 'x') + "CODE" + std::string(5000, 'y') + "\r");
  EXPECT_THAT(Answers(), ElementsAre("Write:\x03", "Wait:100"));
  Feed(std::string(1020, 'x') + "CODE\r");
  EXPECT_THAT(Answers(), IsEmpty());
  Feed("CODE\r");
  EXPECT_THAT(Answers(), ElementsAre("Write:\x03", "Wait:100"));
}

TEST_F(ProgrammingDialogueTest, CommandsAndReadBackStayInTheirBuffersWhateverTheOctets) {
  window_.UseStringsAsSet();
  for (int k = 1; k <= 6; ++k) {
    fields_.Octet(k) = std::string(4, static_cast<char>('A' + k - 1));
  }
  Feed("480\r");
  EXPECT_THAT(Answers(), ElementsAre("Wait:500", "Write:macprog2 AAAA-BBBB-CCCC-DD\n"));
  Feed("AAAA BBBB CCCC DD\r");
  EXPECT_THAT(Answers(),
              ElementsAre("Alert: MAC Write Success \n(AAAA:BBBB:CCCC:DDDD:EEEE:FFFF)", "Modal"));
  // The step keeps the low byte of each value, so the strings are back to two characters.
  EXPECT_EQ(fields_.OCTET1 + fields_.OCTET2 + fields_.OCTET3 + fields_.OCTET4 + fields_.OCTET5 +
                fields_.OCTET6,
            "abbccddeef00");

  for (int k = 1; k <= 6; ++k) {
    fields_.Octet(k) = std::to_string(k);
  }
  Feed("480\r");
  EXPECT_THAT(Answers(),
              ElementsAre("Wait:500", "Write:macprog2 1-2-3-4-5-6" + std::string(6, '\0') + "\n"));
}

}  // namespace
}  // namespace pelorus
