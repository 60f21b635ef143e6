// The operations of EasyMailer, one file per concern.  Operations that call
// each other do so through attribute look-ups on the instance, so that a
// caller may replace any of them.
#pragma once

#include "pyglue/pyglue.hpp"

namespace mailer {

using namespace pyglue;

// Module-level names, looked up at each use.
inline const Name smtplib{"smtplib"};
inline const Name ssl{"ssl"};
inline const Name mimetypes{"mimetypes"};
inline const Name datetime{"datetime"};
inline const Name MIMEMultipart{"MIMEMultipart"};
inline const Name MIMEText{"MIMEText"};
inline const Name MIMEBase{"MIMEBase"};
inline const Name encoders{"encoders"};
inline const Name formataddr{"formataddr"};
inline const Name formatdate{"formatdate"};
inline const Name Path{"Path"};
inline const Name TemplateEngine{"TemplateEngine"};
inline const Name builtin_open{"open"};  // pinned at load

// Configuration (module.cpp)
void convert_init_arguments(Call& call);
py::object init(Call& call);
// Composition (compose.cpp)
py::object build_message(Call& call);
py::object collect_recipients(Call& call);
// Attachments (attachments.cpp)
py::object attach_file(Call& call);
py::object attach_binary(Call& call);
// Delivery (delivery.cpp)
py::object do_send(Call& call);
// Send operations (send.cpp)
py::object send(Call& call);
py::object send_template(Call& call);

}  // namespace mailer
