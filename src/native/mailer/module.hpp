// brisvane.mailer's namespace, as its operations look names up in it: bound
// by the module's load steps (module.cpp), looked up at each use.
//
// Names (pyglue::Name) are spelled in one way throughout the native code: a
// module-level name as the Python name it holds (MIMEMultipart, formataddr,
// less a leading underscore); an attribute or operation looked up on an
// object with the suffix _attr (send_attr for "send", build_message_attr for
// "_build_message"); an object pinned at load as its module's dotted name
// with underscores (email_utils), or builtin_ and its name.
#pragma once

#include "pyglue/pyglue.hpp"

namespace mailer {

namespace py = pybind11;

// Module-level names (Args::global).
extern const pyglue::Name smtplib;
extern const pyglue::Name ssl;
extern const pyglue::Name mimetypes;
extern const pyglue::Name datetime;
extern const pyglue::Name MIMEMultipart;
extern const pyglue::Name MIMEText;
extern const pyglue::Name MIMEBase;
extern const pyglue::Name encoders;
extern const pyglue::Name formataddr;
extern const pyglue::Name formatdate;
extern const pyglue::Name Path;
extern const pyglue::Name TemplateEngine;

// Objects fetched once when the module loads (Args::pinned, Scope::pinned).
extern const pyglue::Name builtin_open;
extern const pyglue::Name email_utils;
extern const pyglue::Name email_header;
// The standard library's MIMEBase class, encoders module and base64 encoder,
// as they were when the module loaded.
extern const pyglue::Name email_mime_base_MIMEBase;
extern const pyglue::Name email_encoders;
extern const pyglue::Name email_encoders_encode_base64;

// Annotation strings that several operations' tables share.
inline constexpr const char* recipients_type = "Union[str, List[str]]";
inline constexpr const char* optional_recipients = "Optional[Union[str, List[str]]]";
inline constexpr const char* attachments_type = "Optional[List[Union[str, Dict]]]";

}  // namespace mailer
