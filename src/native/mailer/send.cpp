// The public send operations.
#include "mailer/operations.hpp"

namespace mailer {

namespace {

const Name build_message_name{"_build_message"};
const Name collect_recipients_name{"_collect_recipients"};
const Name do_send_name{"_do_send"};
const Name send_name{"send"};
const Name default_sender{"default_sender"};
const Name template_engine{"_template_engine"};
const Name render{"render"};
const Name render_string{"render_string"};

const KeywordNames build_message_keywords{"to",     "subject",     "body",        "html",    "cc",
                                          "sender", "sender_name", "attachments", "reply_to"};
const KeywordNames send_keywords{"to",  "subject", "body",        "html",        "cc",
                                 "bcc", "sender",  "sender_name", "attachments", "reply_to"};

// A header is not HTML: the subject template wrapped in an autoescape-off
// block, written with the block delimiters of the engine's environment.  An
// engine without one gets the subject as it is.  A line end that ends the
// subject stays after the block, where Jinja2 drops it as before.
py::object unescaped(py::handle engine, py::handle subject) {
    py::object env = optional_attribute(engine, "env");
    if (!env || env.is_none()) return borrow(subject);  // not a Jinja2 engine: nothing to turn off
    py::object open = optional_attribute(env, "block_start_string");
    py::object close = optional_attribute(env, "block_end_string");
    if (!open) open = py::str("{%");
    if (!close) close = py::str("%}");
    const Py_ssize_t size = PyUnicode_GET_LENGTH(subject.ptr());
    Py_ssize_t end = size;  // \r\n, \n or \r at the end
    if (end > 0 && PyUnicode_READ_CHAR(subject.ptr(), end - 1) == '\n') --end;
    if (end > 0 && PyUnicode_READ_CHAR(subject.ptr(), end - 1) == '\r') --end;
    py::object text = checked(PyUnicode_Substring(subject.ptr(), 0, end));
    py::object line_end = checked(PyUnicode_Substring(subject.ptr(), end, size));
    return open + py::str(" autoescape false ") + close + text + open + py::str(" endautoescape ") +
           close + line_end;
}

}  // namespace

// Compose (attachments included) and collect the recipients before any
// connection is opened, then deliver once.
py::object send(Call& call) {
    auto [self, to, subject, body, html, cc, bcc, sender, sender_name, attachments, reply_to] =
        call.args<11>();
    py::object msg = call_with_keywords(
        self.attr(build_message_name), build_message_keywords,
        {to, subject, body, html, cc, sender, sender_name, attachments, reply_to});
    py::object all_recipients = call_positional(self.attr(collect_recipients_name), {to, cc, bcc});
    py::object deliver = self.attr(do_send_name);
    py::object envelope_sender = truth(sender) ? borrow(sender) : self.attr(default_sender);
    call_positional(deliver, {msg, all_recipients, envelope_sender});
    return py::none();
}

// Render the bodies and the subject with the instance's engine, the time of
// the call added to the context as "occurred_at", and send the result.
py::object send_template(Call& call) {
    auto [self, to, subject, template_name, context, cc, bcc, sender, sender_name, attachments,
          reply_to] = call.args<11>();
    py::object ctx = truth(context) ? borrow(context) : py::dict();
    py::object now = call.global(datetime).attr("now")();
    py::object stamp = now.attr("strftime")("%Y-%m-%d %H:%M:%S");
    ctx.attr("setdefault")("occurred_at", stamp);

    auto engine = [&] { return self.attr(template_engine); };
    py::object html_content = engine().attr(render)(template_name + py::str(".html"), ctx);
    py::object text_content = engine().attr(render)(template_name + py::str(".txt"), ctx);
    py::object rendered_subject = engine().attr(render_string)(unescaped(engine(), subject), ctx);

    call_with_keywords(self.attr(send_name), send_keywords,
                       {to, rendered_subject, text_content, html_content, cc, bcc, sender,
                        sender_name, attachments, reply_to});
    return py::none();
}

}  // namespace mailer
