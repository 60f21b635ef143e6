// Attachments: one base64 MIME part per file path or in-memory item
// (attachments.cpp).
#pragma once

#include "pyglue/operation.hpp"

namespace mailer {

extern const pyglue::Operation attach_file_operation;
extern const pyglue::Operation attach_binary_operation;

}  // namespace mailer
