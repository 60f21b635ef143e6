// The shared layer between C++ and the interpreter.
#pragma once

#include "pyglue/errors.hpp"
#include "pyglue/iterate.hpp"
#include "pyglue/module.hpp"
#include "pyglue/operation.hpp"
#include "pyglue/with_block.hpp"
