// A virtual machine folder for the snapshot reader's tests: a configuration
// file, its snapshot database and empty disk files, written on request.
#pragma once

#include <string>

#include "testSupport.h"

class VmFolder {
 public:
  explicit VmFolder(std::string configName = "vm.bxx") : configName_(std::move(configName)) {}

  const std::string &path() const { return dir_.path(); }
  std::string file(const std::string &name) const { return dir_.file(name); }
  std::string config() const { return file(configName_); }

  // The configuration: a version "8" header, then the given lines.
  void WriteConfig(const std::string &lines,
                   const std::string &header = "config.version = \"8\"\n") {
    testsupport::WriteFile(config(), header + lines);
  }
  void WriteDatabase(const std::string &lines) { testsupport::WriteFile(file("vm.bxsd"), lines); }
  std::string Touch(const std::string &name) {
    testsupport::WriteFile(file(name), "");
    return file(name);
  }

 private:
  testsupport::TempDir dir_;
  std::string configName_;
};
