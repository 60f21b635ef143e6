// The public send operations.
#include "mailer/operations.hpp"

namespace mailer {

// Compose (attachments included) and collect the recipients before any
// connection is opened, then deliver once.
py::object send(Call& call) {
    auto [self, to, subject, body, html, cc, bcc, sender, sender_name, attachments, reply_to] =
        call.args<11>();
    using py::arg;
    py::object msg = self.attr("_build_message")(
        arg("to") = to, arg("subject") = subject, arg("body") = body, arg("html") = html,
        arg("cc") = cc, arg("sender") = sender, arg("sender_name") = sender_name,
        arg("attachments") = attachments, arg("reply_to") = reply_to);
    py::object all_recipients = self.attr("_collect_recipients")(to, cc, bcc);
    py::object deliver = self.attr("_do_send");
    py::object envelope_sender = truth(sender) ? sender : py::object(self.attr("default_sender"));
    deliver(msg, all_recipients, envelope_sender);
    return py::none();
}

// Render the bodies and the subject with the instance's engine, the time of
// the call added to the context as "occurred_at", and send the result.
py::object send_template(Call& call) {
    auto [self, to, subject, template_name, context, cc, bcc, sender, sender_name, attachments,
          reply_to] = call.args<11>();
    py::object ctx = truth(context) ? context : py::dict();
    py::object now = call.global(datetime).attr("now")();
    py::object stamp = now.attr("strftime")("%Y-%m-%d %H:%M:%S");
    ctx.attr("setdefault")("occurred_at", stamp);

    auto engine = [&] { return self.attr("_template_engine"); };
    py::object html_content = engine().attr("render")(template_name + py::str(".html"), ctx);
    py::object text_content = engine().attr("render")(template_name + py::str(".txt"), ctx);
    py::object rendered_subject = engine().attr("render_string")(subject, ctx);

    using py::arg;
    self.attr("send")(arg("to") = to, arg("subject") = rendered_subject, arg("body") = text_content,
                      arg("html") = html_content, arg("cc") = cc, arg("bcc") = bcc,
                      arg("sender") = sender, arg("sender_name") = sender_name,
                      arg("attachments") = attachments, arg("reply_to") = reply_to);
    return py::none();
}

}  // namespace mailer
