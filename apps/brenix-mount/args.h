// The command line: the switch scanner, the Args record it fills, and the
// validation that chooses the command.
#pragma once

#include <string>
#include <vector>

#include "brenixMount.h"
#include "vdiskValidate.h"

// The host's switch test: "-..." always; "/..." only when no second "/"
// follows, since every absolute path here also begins with "/".
bool IsSwitch(const char *argument);
// Whole-text match of "[A-Za-z]:".
bool IsDriveLetter(const std::string &text);

// One pass over a vector whose switches stand first.
class OptionScanner {
 public:
  // Returns the next option letter, '?', 0 for a lone "/", or -1 at the end.
  int Next(const std::vector<const char *> &words, const char *optionString);
  // The first word not yet scanned.
  size_t index() const { return index_; }
  // The value of the letter just returned, or null.
  const char *value() const { return value_; }

 private:
  size_t index_ = 1;
  const char *value_ = nullptr;
  const char *nextChar_ = nullptr;
};

struct Args {
  // Copies the words and moves the switches, in order, to the front.
  Args(int argc, char **argv);

  // False when more than two non-switch arguments remain or a lone "/" is met.
  bool Parse();
  // Chooses the command; false with errorText set when the line is invalid.
  // Disk validation refusals pass out as exceptions.
  bool Validate(std::string &errorText);
  // True when every required letter was given and every given letter is
  // required or allowed.
  bool CheckOptions(const std::string &required, const std::string &allowed) const;

  std::vector<const char *> words;  // the program name first, then the switches
  bool deleteFlag = false;
  bool forceFlag = false;
  bool partitionsFlag = false;
  bool helpFlag = false;
  int volumeNumber = 1;
  SnapshotMode snapshotMode = kSnapshotAsk;
  std::string driveLetter;
  std::string diskPath;
  Command command = kCommandNone;
  std::vector<std::string> positionalArgs;
  std::string optionLetters;
};
