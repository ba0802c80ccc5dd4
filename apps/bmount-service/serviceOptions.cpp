// Parsing the service's command line: one of --register, --unregister,
// --stop, or serving with its options.
#include "serviceOptions.h"

#include <cstring>

const char *ServiceOptions_Usage(void) {
  return "usage: bmount-service [--foreground] [--fault-plan FILE] [--backend loop|record]\n"
         "       bmount-service --register | --unregister | --stop";
}

bool ServiceOptions_Parse(int argc, const char *const *argv, ServiceOptions *options,
                          std::string *error) {
  *options = ServiceOptions{};
  bool commandGiven = false;
  bool serveOptionGiven = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    ServiceCommand command = ServiceCommand::Serve;
    if (arg == "--register") {
      command = ServiceCommand::Register;
    } else if (arg == "--unregister") {
      command = ServiceCommand::Unregister;
    } else if (arg == "--stop") {
      command = ServiceCommand::Stop;
    } else if (arg == "--foreground") {
      options->foreground = true;
      serveOptionGiven = true;
      continue;
    } else if (arg == "--fault-plan" || arg == "--backend") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        *error = arg + " needs a value";
        return false;
      }
      (arg == "--fault-plan" ? options->faultPlan : options->backend) = argv[++i];
      serveOptionGiven = true;
      continue;
    } else {
      *error = "unknown argument \"" + arg + "\"";
      return false;
    }
    if (commandGiven) {
      *error = "only one of --register, --unregister and --stop may be given";
      return false;
    }
    commandGiven = true;
    options->command = command;
  }
  if (commandGiven && serveOptionGiven) {
    *error = "--foreground, --fault-plan and --backend go with serving only";
    return false;
  }
  return true;
}
