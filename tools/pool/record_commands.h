#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "pool/transcript.h"

namespace pelorus::pool {

// A transcript as text: one line per console line with its time after the first piece's,
// sent bytes marked ">>"; a line that spans several pieces of one direction is one line, at
// the time of its first. A line end's CR is left out, any other control byte escaped.
void WriteTranscript(std::ostream& out, const std::vector<Transcript::Piece>& pieces);

// pelorus-pool's commands on the record of attempts: history (the attempts that wrote one
// address), transcript (one attempt's console) and report (the line's figures as HTML or
// JSON).
class RecordCommands {
 public:
  // Adds the commands to app.
  explicit RecordCommands(CLI::App& app);
  RecordCommands(const RecordCommands&) = delete;
  RecordCommands& operator=(const RecordCommands&) = delete;

  // Whether the command line chose one of them; running it (false once the reason is out on
  // stderr).
  bool Chosen() const { return command_ != nullptr; }
  bool Run() const { return (this->*command_)(); }

 private:
  bool History() const;
  bool Transcript() const;
  bool Report() const;
  // A subcommand with LOCATION, run by command when chosen.
  CLI::App* Add(CLI::App& app, const char* name, const char* description,
                bool (RecordCommands::*command)() const);

  std::string location_;
  std::string name_;
  std::string address_;
  std::int64_t id_ = 0;
  bool raw_ = false;
  std::string since_;
  std::string until_;
  std::string html_;
  std::string json_;
  CLI::Option* json_option_ = nullptr;
  bool (RecordCommands::*command_)() const = nullptr;
};

}  // namespace pelorus::pool
