// Reading the EPDSIM_* variables into the bus set-up (their grammar: README.md in this folder).
#ifndef EPDSIM_SIM_CONFIG_H
#define EPDSIM_SIM_CONFIG_H

#include <functional>
#include <optional>
#include <string>

namespace epdsim {

// Returns the value of a variable, or nothing when it is not set.
using env_reader = std::function<std::optional<std::string>(const char *name)>;

// Resets the bus and sets it up from the variables that env supplies. On an invalid value it
// returns false with a one-line message that names the variable; the bus is then left reset.
bool configure_from(const env_reader &env, std::string *error);

} // namespace epdsim

#endif
