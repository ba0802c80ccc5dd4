// The command line: the switch scanner (one process-wide scan), the Args
// record it fills, and the validation that chooses the command.
#pragma once

#include <string>
#include <vector>

// The host's switch test: "-..." always; "/..." only when no second "/"
// follows, since every absolute path here also begins with "/".
bool IsSwitch(const char *argument);
// Whole-text match of "[A-Za-z]:".
bool IsDriveLetter(const std::string &text);

// The process-wide scanner over a vector whose switches stand first.
// Returns the next option letter, '?', 0 for a lone "/", or -1 at the end.
int GetOpt(int argc, char *const *argv, const char *optionString);
// Scanner state, exposed for tests.
extern int g_optind;
extern const char *g_optarg;
// Rewinds the scanner (tests only: the program scans once).
void GetOptReset();

class GetOptWrapper {
 public:
  // Copies the pointer array and moves the switches, in order, to the front.
  GetOptWrapper(int argc, char **argv);
  virtual ~GetOptWrapper();
  GetOptWrapper(const GetOptWrapper &) = delete;
  GetOptWrapper &operator=(const GetOptWrapper &) = delete;
  virtual bool Parse() = 0;

  int argCount;
  char **argvCopy;
};

struct Args : public GetOptWrapper {
  Args(int argc, char **argv);
  ~Args() override = default;

  // False when more than two non-switch arguments remain or a lone "/" is met.
  bool Parse() override;
  // Chooses the command; false with errorText set when the line is invalid.
  // Disk validation refusals pass out as exceptions.
  bool Validate(std::string &errorText);
  // True when every required letter was given and every given letter is
  // required or allowed.
  bool CheckOptions(const std::string &required, const std::string &allowed) const;

  bool deleteFlag = false;
  bool forceFlag = false;
  bool partitionsFlag = false;
  bool helpFlag = false;
  int volumeNumber = 1;
  int snapshotMode = 0;  // 0 no choice, 1 /y, 2 /n
  std::string driveLetter;
  std::string diskPath;
  int command = 0;
  std::vector<std::string> positionalArgs;
  std::string optionLetters;
};
