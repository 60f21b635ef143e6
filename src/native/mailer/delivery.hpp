// SMTP delivery: one connection per message, secured as configured
// (delivery.cpp).
#pragma once

#include "pyglue/operation.hpp"

namespace mailer {

extern const pyglue::Operation do_send_operation;

}  // namespace mailer
