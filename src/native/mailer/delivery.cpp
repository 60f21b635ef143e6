// SMTP delivery: one connection per message, secured as configured.
#include "mailer/delivery.hpp"

#include "mailer/module.hpp"

namespace mailer {

using namespace pyglue;

namespace {

// login(username, password).  smtplib encodes the credentials as ASCII and,
// for any other character, raises a UnicodeEncodeError that carries the whole
// encoded text (the password in it) in its arguments, its repr and every log
// that records it.  The caller gets a UnicodeEncodeError from the login step
// all the same, with its encoding and reason, but the text withheld: the one
// the Python session helper raises.
void login_without_echo(const py::object& login, py::handle username, py::handle password) {
    py::object original;
    try {
        login(username, password);
        return;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_UnicodeEncodeError)) throw;
        original = error.value();
    }
    // Outside the handler: what runs from here (the attributes are Python
    // code) may meet the interpreter's exit, and the handler's error must not
    // be unwound with it.
    py::object replacement = py::handle(PyExc_UnicodeEncodeError)(
        original.attr("encoding"), py::str("\ufffd"), 0, 1, original.attr("reason"));
    // Raised afresh, with neither the original as its context nor the frames
    // (whose locals hold the password) of its traceback.
    PyErr_SetObject(PyExc_UnicodeEncodeError, replacement.ptr());
    throw_current();
}

constexpr Param do_send_params[] = {
    {"self", nullptr}, {"msg", "MIMEMultipart"}, {"recipients", "List[str]"}, {"sender", "str"}};

py::object do_send(Args<do_send_params>& args) {
    PYGLUE_ARGUMENTS(args, self, msg, recipients, sender);
    py::object ctx = args.global(ssl).attr("create_default_context")();

    // Log in, then flatten the message and submit it; the server's report of
    // refused recipients is not needed.  (The arguments are captured by
    // copy: Clang before 16 cannot capture a structured binding by name.)
    auto submit = [self = self, msg = msg, recipients = recipients,
                   sender = sender](py::handle server) {
        py::object login = server.attr("login");
        py::object username = self.attr("username");
        py::object password = self.attr("password");
        login_without_echo(login, username, password);
        py::object text = msg.attr("as_string")();
        server.attr("sendmail")(sender, recipients, text);
    };

    if (truth(self.attr("use_ssl"))) {
        py::object connect = args.global(smtplib).attr("SMTP_SSL");
        py::object host = self.attr("host");
        py::object port = self.attr("port");
        with_block(connect(host, port, py::arg("context") = ctx), submit);
    } else {
        py::object connect = args.global(smtplib).attr("SMTP");
        py::object host = self.attr("host");
        py::object port = self.attr("port");
        with_block(connect(host, port), [&, self = self](py::handle server) {
            if (truth(self.attr("use_tls"))) server.attr("starttls")(py::arg("context") = ctx);
            submit(server);
        });
    }
    return py::none();
}

}  // namespace

constexpr Operation do_send_operation =
    operation<do_send_params, do_send>("_do_send", Kind::method, nullptr, "None");

}  // namespace mailer
