// Message composition: the MIME tree and headers of one mail, and the
// envelope recipient list (compose.cpp).
#pragma once

#include "pyglue/operation.hpp"

namespace mailer {

extern const pyglue::Operation build_message_operation;
extern const pyglue::Operation collect_recipients_operation;

}  // namespace mailer
