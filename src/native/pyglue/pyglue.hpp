// The shared layer between C++ and the interpreter.
#pragma once

#include "pyglue/binder.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/function.hpp"
#include "pyglue/iterate.hpp"
#include "pyglue/module.hpp"
#include "pyglue/objects.hpp"
#include "pyglue/operation.hpp"
#include "pyglue/with_block.hpp"
