// The one way a subcommand reports failure: what went wrong, what to do about
// it, and the exit status. main() prints it and exits.
#pragma once

#include <stdexcept>
#include <string>

#include "cli/exit_codes.h"

namespace kavri::cli {

class CliError : public std::runtime_error {
  public:
    CliError(int code, const std::string &cause, std::string fix = {})
        : std::runtime_error(cause), code_(code), fix_(std::move(fix)) {}
    int code() const { return code_; }
    const std::string &fix() const { return fix_; }

  private:
    int code_;
    std::string fix_;
};

}  // namespace kavri::cli
