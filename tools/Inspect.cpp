#include "Inspect.h"

namespace fsdbtool {

ToolStatus ListFolder(const std::string&, const std::string&) {
  return ToolStatus::Fail("ls is not available yet");
}
ToolStatus StatEntry(const std::string&, const std::string&) {
  return ToolStatus::Fail("stat is not available yet");
}
ToolStatus PrintInfo(const std::string&) {
  return ToolStatus::Fail("info is not available yet");
}

}  // namespace fsdbtool
