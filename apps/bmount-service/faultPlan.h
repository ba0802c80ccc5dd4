// The fault plan: a text file that makes chosen methods of the service fail
// or hand back nothing, adds texts to the mount listing, and kills or stops
// the service at chosen steps of a mount or dismount, so that clients and
// restarts can be tested against a misbehaving service. The file is consulted at every
// method call and read again whenever it changed; a missing file means no
// faults. Lines it cannot understand are logged and skipped.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "com/hresult.h"
#include "host/stateFile.h"

struct FaultRule {
  // Succeed but hand back nothing (a null interface pointer, an empty value).
  bool null = false;
  HRESULT hr = S_OK;
  // Error information is attached only when there is a description.
  bool hasDescription = false;
  std::string description;
};

struct FaultPlanContent {
  // Keyed by "Interface.Method"; a later line for the same method wins.
  std::map<std::string, FaultRule> rules;
  // Extra listing texts, in the plan's order.
  std::vector<std::string> listings;
  // Steps at which the service kills itself ("crash <step>").
  std::set<std::string> crashes;
  // Steps at which it stops itself until continued ("stop <step>").
  std::set<std::string> stops;
};

// Parses plan text. Each line it rejects adds one text to *problems (which
// may be NULL) naming the line number and why.
void FaultPlan_Parse(const std::string &text, FaultPlanContent *content,
                     std::vector<std::string> *problems);

// True for the method names the service's interfaces define.
bool FaultPlan_IsKnownMethod(const std::string &name);
// True for the steps a crash or stop rule may name: "<Method>.<step>", e.g.
// "MountAs.linked" (see the list in faultPlan.cpp).
bool FaultPlan_IsKnownStep(const std::string &name);

class FaultPlan {
 public:
  // An empty path: no plan at all.
  explicit FaultPlan(std::string path = "");

  // Returns the rule for "Interface.Method", if any, after reading the file
  // again when it changed.
  std::optional<FaultRule> Find(const char *method);
  // The extra listing texts, after reading the file again when it changed.
  std::vector<std::string> Listings();
  // Kills the process on the spot, as SIGKILL would, when the plan names
  // this step to crash at; stops it, as SIGSTOP would, when it names it to
  // stop at; otherwise returns.
  void Reach(const char *step);

 private:
  void Refresh();

  // Steps are reached also by calls gone aside.
  std::mutex lock_;
  std::string path_;
  bool loaded_ = false;
  HostFileStamp stamp_{};
  FaultPlanContent content_;
};
