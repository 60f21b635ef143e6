// The public send operations (send.cpp).
#pragma once

#include "pyglue/operation.hpp"

namespace mailer {

extern const pyglue::Operation send_operation;
extern const pyglue::Operation send_template_operation;

}  // namespace mailer
