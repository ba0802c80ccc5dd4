// The program's entry: start-up, the version gate, the command line, one
// command, the four handlers that turn failures into text, an event record
// and an exit code, and the shutdown.
#include "brenixMount.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "args.h"
#include "com/apartment.h"
#include "com/comError.h"
#include "errors.h"
#include "host/lastError.h"
#include "host/prefix.h"
#include "host/process.h"
#include "host/system.h"
#include "messages.h"
#include "misc/panic.h"
#include "serviceClient.h"
#include "string/str.h"
#include "user/commonState.h"
#include "user/msg.h"

void Print(const std::string &text) {
  std::string shown = Str_Printable(text);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
}

namespace {

void CheckVersion() {
  HostVersion version;
  HostSystem_GetVersion(&version);
  if (version.platformId != 2 || version.major < 5) {
    throw UserError(Msg_FormatToString(msg::kInvalidOS));
  }
}

// A listing or usage text that never reached its reader (a full disk, a
// closed descriptor) is no success.
void CheckOutputWritten() {
  if (std::fflush(stdout) != 0) throw ApiException(kWritingOutput, BRENIX_SOURCE, __LINE__);
  if (std::ferror(stdout) != 0) {
    // An earlier write failed; its error code is gone by now.
    Host_SetLastError(Host_ErrorCode(HOST_ERROR_OTHER));
    throw ApiException(kWritingOutput, BRENIX_SOURCE, __LINE__);
  }
}

int Dispatch(Args &args) {
  switch (args.command) {
    case kCommandMount:
      return MountCommand(args);
    case kCommandDismount:
      return DismountCommand(args);
    case kCommandListDiskVolumes:
      return ListDiskVolumesCommand(args);
    case kCommandListMounted:
      return ListMountedCommand(std::cout);
    case kCommandNone:
      break;
  }
  NOT_REACHED();
}

}  // namespace

void PrintUsage() {
  Print(Msg_FormatToString(msg::kUsage, product::kName, product::kTitle, product::kVersion,
                           product::kName));
}

int BrenixMain(int argc, char **argv) {
  HostProcess_GuardStandardStreams();
  HostProcess_IgnoreWriteSignals();
  HostSystem_SetArgs(argc, argv);
  // Another user's prefix is refused before anything in it is read or
  // written: its registry could name what we start, its drive table where we
  // mount. Nothing goes to its event log either.
  // A prefix that cannot be made leaves the host empty.
  if (char *problem = HostPrefix_EnsureForRun()) {
    char *prefix = HostPrefix_Path();
    Print(Msg_FormatToString(msg::kUntrustedPrefix, prefix, problem));
    std::fflush(stdout);
    free(prefix);
    free(problem);
    return kExitUserError;
  }
  InstallErrorReporting();

  Args args(argc, argv);
  std::string errorText;
  int exitCode = kExitSuccess;

  try {
    try {
      CoInitialize(nullptr);
      CommonState_Init();
      // Validation and the command share it; it is released before the
      // failure handlers below print.
      ServiceSession service;
      CheckVersion();
      if (!args.Parse() || args.helpFlag) {
        PrintUsage();
        exitCode = args.helpFlag ? kExitSuccess : kExitUserError;
      } else {
        if (!args.Validate(errorText)) {
          throw UserError(errorText + Msg_FormatToString(msg::kHowtoUsage, product::kName));
        }
        exitCode = Dispatch(args);
      }
      if (exitCode == kExitSuccess) CheckOutputWritten();
    } catch (const UserError &e) {
      Print(e.what());
      LogUserError(e);
      exitCode = kExitUserError;
    } catch (const AppError &e) {
      Print(e.what());
      LogAppError(e);
      exitCode = kExitServiceError;
    } catch (const ComError &e) {
      Print(Msg_FormatToString(msg::kUnexpectedError));
      LogComError(e);
      exitCode = kExitServiceError;
    } catch (const ApiException &e) {
      Print(Msg_FormatToString(msg::kUnexpectedError));
      LogApiException(e);
      exitCode = kExitApiError;
    }
  } catch (const std::exception &e) {
    // Anything else (memory, a pattern error, a failure inside a handler)
    // ends the run like a fatal stop rather than an abort.
    FatalStop(e.what());
  } catch (...) {
    FatalStop("Unknown exception");
  }

  std::fflush(stdout);
  Msg_Exit();
  CommonState_Exit();
  CoUninitialize();
  return exitCode;
}
