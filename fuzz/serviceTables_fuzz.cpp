// Fuzzes the two texts the mount service reads: the fault plan and the saved
// mount table. Neither may crash; a table read back from what it saved must
// save the same text again (what is saved is always understood), and every
// rule of a plan names a known method.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "faultPlan.h"
#include "mountTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);

  FaultPlanContent plan;
  FaultPlan_Parse(text, &plan, nullptr);
  for (const auto &rule : plan.rules) {
    if (!FaultPlan_IsKnownMethod(rule.first)) {
      abort();
    }
  }

  MountTable table;
  table.Parse(text, nullptr);
  std::string saved = table.Format();
  MountTable again;
  std::vector<std::string> problems;
  again.Parse(saved, &problems);
  if (!problems.empty() || again.Format() != saved) {
    abort();
  }
  return 0;
}
