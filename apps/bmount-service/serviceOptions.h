// The command line of bmount-service and its exit codes.
#pragma once

#include <string>

// Exit codes: the public face of the executable.
enum : int {
  kServiceExitOk = 0,       // done, or another instance already serves
  kServiceExitFailure = 1,  // the command could not be carried out
  kServiceExitUsage = 2,    // malformed command line
};

enum class ServiceCommand {
  Serve,
  Register,
  Unregister,
  Stop,
};

struct ServiceOptions {
  ServiceCommand command = ServiceCommand::Serve;
  bool foreground = false;
  std::string faultPlan;  // empty: none
  std::string backend;    // empty: the default
};

// The usage text (several lines, no trailing line feed).
const char *ServiceOptions_Usage(void);

// Parses argv[1..argc). Returns false with *error saying what is wrong.
bool ServiceOptions_Parse(int argc, const char *const *argv, ServiceOptions *options,
                          std::string *error);
