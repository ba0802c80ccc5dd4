// A private host prefix for one test: BRENIX_HOST_PREFIX points at a fresh,
// initialised prefix for the life of the object and is put back afterwards.
// Header-only, since only the tests that link the host layer can use it.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/prefix.h"
#include "testSupport.h"

namespace testsupport {

class PrivatePrefix {
 public:
  PrivatePrefix() {
    char *made = HostPrefix_Ensure();
    EXPECT_NE(made, nullptr) << "cannot make the host prefix " << prefix_;
    free(made);
  }
  PrivatePrefix(const PrivatePrefix &) = delete;
  PrivatePrefix &operator=(const PrivatePrefix &) = delete;

  const std::string &path() const { return prefix_; }
  std::string file(const std::string &relative) const { return prefix_ + "/" + relative; }
  // A path outside the prefix, for disks and plans.
  std::string work(const std::string &name) const { return dir_.file(name); }
  // The application event log's lines, time stamps masked (EventLogLines).
  std::vector<std::string> EventLog() const {
    return EventLogLines(file("eventlog/Application.jsonl"));
  }

 private:
  TempDir dir_;
  std::string prefix_ = dir_.file("host");
  ScopedEnv env_{"BRENIX_HOST_PREFIX", prefix_};
};

}  // namespace testsupport
