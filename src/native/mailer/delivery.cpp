// SMTP delivery: one connection per message, secured as configured.
#include "mailer/operations.hpp"

namespace mailer {

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
        call_positional(login, {username, password});
        return;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_UnicodeEncodeError)) throw;
        original = error.value();
    }
    // Outside the handler: what runs from here (the attributes are Python
    // code) may meet the interpreter's exit, and the handler's error must not
    // be unwound with it.
    py::object replacement = call_positional(
        PyExc_UnicodeEncodeError, {original.attr("encoding"), py::str("\ufffd"), py::int_(0),
                                   py::int_(1), original.attr("reason")});
    // Raised afresh, with neither the original as its context nor the frames
    // (whose locals hold the password) of its traceback.
    PyErr_SetObject(PyExc_UnicodeEncodeError, replacement.ptr());
    throw_current();
}

}  // namespace

py::object do_send(Call& call) {
    auto [self, msg, recipients, sender] = call.args<4>();
    py::object ctx = call.global(ssl).attr("create_default_context")();

    // Log in, then flatten the message and submit it; the server's report of
    // refused recipients is not needed.
    auto submit = [&](py::handle server) {
        py::object login = server.attr("login");
        py::object username = self.attr("username");
        py::object password = self.attr("password");
        login_without_echo(login, username, password);
        py::object text = msg.attr("as_string")();
        server.attr("sendmail")(sender, recipients, text);
    };

    if (truth(self.attr("use_ssl"))) {
        py::object connect = call.global(smtplib).attr("SMTP_SSL");
        py::object host = self.attr("host");
        py::object port = self.attr("port");
        with_block(connect(host, port, py::arg("context") = ctx), submit);
    } else {
        py::object connect = call.global(smtplib).attr("SMTP");
        py::object host = self.attr("host");
        py::object port = self.attr("port");
        with_block(connect(host, port), [&](py::handle server) {
            if (truth(self.attr("use_tls"))) server.attr("starttls")(py::arg("context") = ctx);
            submit(server);
        });
    }
    return py::none();
}

}  // namespace mailer
