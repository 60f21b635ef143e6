// The function object of our operations.
#pragma once

#include "pyglue/operation.hpp"

namespace pyglue {

// A new function object for `op`, of the module `module`, with the qualified
// name `owner_qualname + "." + op.name`.
py::object make_function(py::handle module, const char* owner_qualname, const Operation& op);

}  // namespace pyglue
