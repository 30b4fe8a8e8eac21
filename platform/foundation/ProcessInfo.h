#pragma once

#include <string>
#include <vector>

namespace foundation {

// The process's launch arguments as the platform hands them to frameworks
// (switches such as "-DEDIzuraroveDebugEnabled"). The launcher records them
// before anything reads them; empty until then.
class ProcessInfo {
  public:
    static std::vector<std::string> arguments();
    static void setArguments(std::vector<std::string> arguments);
};

}  // namespace foundation
