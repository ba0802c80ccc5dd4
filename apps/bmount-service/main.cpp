// bmount-service: the mount service executable. Registers itself, stops the
// instance serving this host prefix, or serves: one instance per prefix, in
// the background unless --foreground, until stopped, terminated or idle for
// a minute with nothing mounted.
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "backend.h"
#include "com/mountService.h"
#include "com/server.h"
#include "host/activation.h"
#include "host/daemon.h"
#include "host/fs.h"
#include "host/identity.h"
#include "host/lastError.h"
#include "host/loop.h"
#include "host/memory.h"
#include "host/prefix.h"
#include "host/process.h"
#include "host/socket.h"
#include "host/stateFile.h"
#include "host/system.h"
#include "mountService.h"
#include "registration.h"
#include "serviceLog.h"
#include "serviceObjects.h"
#include "serviceOptions.h"

namespace {

const char kIdent[] = "bmount-service";
constexpr int kIdleSeconds = 60;
constexpr int kStopWaitSeconds = 30;
// How long an instance that finds the lock held waits for its holder to
// accept or to let go (as long as a client waits for a start).
constexpr int kTakeOverMs = 10000;
constexpr int kTakeOverPollMs = 20;
// How long a look at whether the holder accepts waits on a full queue.
constexpr int kAcceptingProbeMs = 1000;

MountService *gService = nullptr;

IUnknown *CreateLocator(void) { return MountLocator_Create(gService); }
bool Busy(void) { return gService != nullptr && gService->Busy(); }
void OnTerminate(void) { ComServer_RequestStop(); }
void OnReady(void) {
  ServiceLog_Serving(true);
  ServiceLog(HOSTLOG_INFO, "serving (process %ld)", HostIdentity_ProcessId());
  HostDaemon_Ready();
}

std::string Joined(const std::string &prefix, const char *relative) {
  return prefix + "/" + relative;
}

bool Accepting(const std::string &run) {
  int fd = -1;
  int rc = HostEndpoint_Connect(run.c_str(), Com_GuidToString(CLSID_MountLocator).c_str(),
                                kAcceptingProbeMs, &fd);
  HostStream_Close(fd);
  return rc == 0 || rc == EAGAIN;  // a full queue: it serves, and is busy
}

int Serve(const ServiceOptions &options, std::unique_ptr<Backend> backend,
          const std::string &prefix) {
  std::string error;
  // A service manager that hands over the endpoint also watches this very
  // process: it must not detach.
  int listenFd = HostActivation_ListenFd();
  bool foreground = options.foreground || listenFd >= 0;
  std::string faultPlan;
  if (!options.faultPlan.empty()) {
    // Made absolute now: the detached service works from "/".
    char *full = HostFs_FullPath(options.faultPlan.c_str());
    if (full == nullptr) {
      ServiceLog(HOSTLOG_ERROR, "%s: bad fault plan path %s", kIdent, options.faultPlan.c_str());
      return kServiceExitFailure;
    }
    faultPlan = full;
    free(full);
  }
  std::string run = Joined(prefix, "run");
  int rc = HostState_MakeDir(run.c_str());
  std::string lockPath = Joined(prefix, "run/bmount-service.lock");
  HostInstanceLock *lock = nullptr;
  int locked = rc == 0 ? HostInstanceLock_Acquire(lockPath.c_str(), &lock) : -1;
  // An instance on its way out (idle, or stopped) holds the lock for a
  // moment after its endpoint is gone: the client that started this one
  // needs a successor, not a quiet exit.
  for (int waited = 0; locked == 0 && waited < kTakeOverMs && !Accepting(run);
       waited += kTakeOverPollMs) {
    HostClock_SleepMs(kTakeOverPollMs);
    locked = HostInstanceLock_Acquire(lockPath.c_str(), &lock);
  }
  if (locked == 0) {
    ServiceLog(HOSTLOG_INFO, "%s: another instance serves %s", kIdent, prefix.c_str());
    return kServiceExitOk;
  }
  if (locked < 0) {
    int code = rc != 0 ? rc : Host_GetLastError();
    ServiceLog(HOSTLOG_ERROR, "%s: cannot lock %s: %s", kIdent, lockPath.c_str(),
               ServiceErrorText(code).c_str());
    return kServiceExitFailure;
  }
  if (!foreground) {
    HostLog_Open(kIdent, false);
    rc = HostDaemon_Detach();
    if (rc != 0) {
      HostLog_Open(kIdent, true);
      ServiceLog(HOSTLOG_ERROR, "%s: cannot detach: %s", kIdent, ServiceErrorText(rc).c_str());
      HostInstanceLock_Release(lock);
      return kServiceExitFailure;
    }
  }
  if (!HostInstanceLock_RecordPid(lock)) {
    ServiceLog(HOSTLOG_WARNING, "%s: cannot record the process id in %s (--stop will not find it)",
               kIdent, lockPath.c_str());
  }

  HostMem_OnePool();
  // Before any disk's file is open: the programs the service runs must not
  // close one of another disk whose storage stops answering, which waits.
  if (!HostProcess_StartFromHere()) {
    ServiceLog(HOSTLOG_WARNING,
               "%s: the programs it runs are started holding every file it has open (this "
               "kernel cannot start them apart): their end may wait for a disk whose storage "
               "does not answer",
               kIdent);
  }
  int exitCode = kServiceExitOk;
  // Start takes the disks' locks over from the keeper: a stop meanwhile must
  // end in order, handing them on again, not kill the process with them.
  HostDaemon_OnTerminate(OnTerminate);
  {
    MountService service(std::move(backend), faultPlan);
    if (!service.Start(&error)) {
      ServiceLog(HOSTLOG_ERROR, "%s: %s", kIdent, error.c_str());
      HostInstanceLock_Release(lock);
      return kServiceExitFailure;
    }
    gService = &service;
    ComServerClass cls{CLSID_MountLocator, CreateLocator};
    ComServerOptions serverOptions{kIdleSeconds, Busy, listenFd, OnReady};
    rc = ComServer_Serve(cls, serverOptions);
    if (rc != 0) {
      ServiceLog(HOSTLOG_ERROR, "%s: cannot serve: %s", kIdent, ServiceErrorText(rc).c_str());
      exitCode = kServiceExitFailure;
    }
    service.Stop();
    HostLoop_RemoveKept(0);
    gService = nullptr;
    ServiceLog_Serving(false);
  }
  ServiceLog(HOSTLOG_INFO, "stopped");
  HostInstanceLock_Release(lock);
  return exitCode;
}

}  // namespace

int main(int argc, char **argv) {
  HostProcess_GuardStandardStreams();
  HostActivation_CloseInherited();
  HostProcess_RaiseFileLimits();
  HostProcess_ResetSignals();
  HostProcess_GuardFileModes();
  HostSystem_SetArgs(argc, argv);
  HostLog_Open(kIdent, true);
  ServiceOptions options;
  std::string error;
  if (!ServiceOptions_Parse(argc, argv, &options, &error)) {
    // Said to whoever typed it; no service life to record.
    std::string text = std::string(kIdent) + ": " + error + "\n" + ServiceOptions_Usage();
    HostLog_Write(HOSTLOG_ERROR, text.c_str());
    return kServiceExitUsage;
  }
  // The prefix comes first so that even a refusal to start reaches the event
  // log; but a service that cannot attach the way it was asked to must say
  // so, whatever else is wrong.
  char *prefixPath = HostPrefix_Ensure();
  int prefixError = prefixPath == nullptr ? Host_GetLastError() : 0;
  std::unique_ptr<Backend> backend;
  if (options.command == ServiceCommand::Serve) {
    backend = Backend_Make(options.backend, &error);
    if (backend == nullptr) {
      ServiceLog(HOSTLOG_ERROR, "%s: %s", kIdent, error.c_str());
      free(prefixPath);
      return kServiceExitFailure;
    }
  }
  if (prefixPath == nullptr) {
    char *problem = HostPrefix_TrustProblem();
    if (problem != nullptr) {
      // Nothing goes into a prefix that cannot be trusted, its log included.
      char *path = HostPrefix_Path();
      std::string text = std::string(kIdent) + ": the host prefix " + (path ? path : "") +
                         " cannot be used: " + problem +
                         " (it and the state in it must belong to the user who runs the service "
                         "and be writable by nobody else)";
      HostLog_Write(HOSTLOG_ERROR, text.c_str());
      free(path);
      free(problem);
    } else {
      ServiceLog(HOSTLOG_ERROR, "%s: no host prefix: %s", kIdent,
                 ServiceErrorText(prefixError).c_str());
    }
    return kServiceExitFailure;
  }
  std::string prefix = prefixPath;
  free(prefixPath);

  int rc = 0;
  switch (options.command) {
    case ServiceCommand::Register: {
      char *self = HostSystem_ModulePath();
      rc = self != nullptr ? ServiceRegistration_Register(self) : Host_GetLastError();
      if (rc == 0) {
        rc = ServiceLog_Register(self);
      }
      free(self);
      break;
    }
    case ServiceCommand::Unregister:
      rc = ServiceRegistration_Unregister();
      break;
    case ServiceCommand::Stop:
      rc = HostInstanceLock_StopHolder(Joined(prefix, "run/bmount-service.lock").c_str(),
                                       kStopWaitSeconds);
      break;
    case ServiceCommand::Serve:
      return Serve(options, std::move(backend), prefix);
  }
  if (rc != 0) {
    // A command, not the service's life: its caller reads standard error.
    std::string text = std::string(kIdent) + ": " + ServiceErrorText(rc);
    HostLog_Write(HOSTLOG_ERROR, text.c_str());
    return kServiceExitFailure;
  }
  return kServiceExitOk;
}
