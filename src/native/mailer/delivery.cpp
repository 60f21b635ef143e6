// SMTP delivery: one connection per message, secured as configured.
#include "mailer/operations.hpp"

namespace mailer {

py::object do_send(Call& call) {
    auto [self, msg, recipients, sender] = call.args<4>();
    py::object ctx = call.global(ssl).attr("create_default_context")();

    // Log in, then flatten the message and submit it; the server's report of
    // refused recipients is not needed.
    auto submit = [&](py::handle server) {
        py::object login = server.attr("login");
        py::object username = self.attr("username");
        py::object password = self.attr("password");
        login(username, password);
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
