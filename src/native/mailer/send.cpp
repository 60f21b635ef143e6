// The public send operations.
#include "mailer/send.hpp"

#include "mailer/module.hpp"

namespace mailer {

using namespace pyglue;

namespace {

const Name build_message_attr{"_build_message"};
const Name collect_recipients_attr{"_collect_recipients"};
const Name do_send_attr{"_do_send"};
const Name send_attr{"send"};
const Name default_sender_attr{"default_sender"};
const Name template_engine_attr{"_template_engine"};
const Name render_attr{"render"};
const Name render_string_attr{"render_string"};

const char send_doc[] =
    "\n        发送邮件。\n"
    "\n"
    "        参数说明：\n"
    "            to: 收件人地址，可以是单个地址或地址列表（支持多个收件人）\n"
    "            subject: 邮件主题\n"
    "            body: 纯文本正文\n"
    "            html: HTML 正文；同时提供 body 和 html 时优先显示 HTML 内容\n"
    "            cc: 抄送地址列表\n"
    "            bcc: 密送地址列表\n"
    "            sender: 发件人地址，会覆盖配置的默认发件人\n"
    "            sender_name: 发件人显示名称\n"
    "            attachments: 附件列表，每个元素可以是：\n"
    "                - 字符串：本地文件路径\n"
    "                - 字典：{\"filename\": \"name.png\", \"data\": bytes, \"content_type\": "
    "\"image/png\"}\n"
    "                其中 content_type 可选，缺省时根据文件名自动识别文件类型\n"
    "            reply_to: 回复地址\n        ";

const char send_template_doc[] =
    "\n        使用模板发送邮件。\n"
    "\n"
    "        参数说明：\n"
    "            to: 收件人地址，可以是单个地址或地址列表（支持多个收件人）\n"
    "            subject: 邮件主题，也可以使用通过 context 传入的 Jinja2 变量\n"
    "            template_name: 模板名称（不含文件扩展名）\n"
    "            context: 渲染模板所用的变量字典\n"
    "            cc: 抄送地址列表\n"
    "            bcc: 密送地址列表\n"
    "            sender: 发件人地址，会覆盖配置的默认发件人\n"
    "            sender_name: 发件人显示名称\n"
    "            attachments: 附件列表，与 send 相同：\n"
    "                字符串元素为本地文件路径，直接作为附件添加；\n"
    "                字典元素的格式为 {\"filename\": \"name.png\", \"data\": bytes, "
    "\"content_type\": \"image/png\"}\n"
    "            reply_to: 回复地址\n        ";

constexpr Param send_params[] = {
    {"self", nullptr},
    {"to", recipients_type},
    {"subject", "str"},
    {"body", "Optional[str]", Default::none},
    {"html", "Optional[str]", Default::none},
    {"cc", optional_recipients, Default::none},
    {"bcc", optional_recipients, Default::none},
    {"sender", "Optional[str]", Default::none},
    {"sender_name", "Optional[str]", Default::none},
    {"attachments", attachments_type, Default::none},
    {"reply_to", "Optional[str]", Default::none},
};

// Compose (attachments included) and collect the recipients before any
// connection is opened, then deliver once.  _build_message gets every
// argument of send but bcc, by name.
py::object send(Args<send_params>& args) {
    PYGLUE_ARGUMENTS(args, self, to, subject, body, html, cc, bcc, sender, sender_name, attachments,
                     reply_to);
    py::object msg = args.call_by_keyword<send_params, "self, bcc">(self.attr(build_message_attr));
    py::object all_recipients = self.attr(collect_recipients_attr)(to, cc, bcc);
    py::object deliver = self.attr(do_send_attr);
    py::object envelope_sender = truth(sender) ? borrow(sender) : self.attr(default_sender_attr);
    deliver(msg, all_recipients, envelope_sender);
    return py::none();
}

constexpr Param send_template_params[] = {
    {"self", nullptr},
    {"to", recipients_type},
    {"subject", "str"},
    {"template_name", "str"},
    {"context", "Optional[dict]", Default::none},
    {"cc", optional_recipients, Default::none},
    {"bcc", optional_recipients, Default::none},
    {"sender", "Optional[str]", Default::none},
    {"sender_name", "Optional[str]", Default::none},
    {"attachments", attachments_type, Default::none},
    {"reply_to", "Optional[str]", Default::none},
};

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

// Render the bodies and the subject with the instance's engine, the time of
// the call added to the context as "occurred_at", and send the result: send
// gets every argument of send_template that it has, by name, and the
// rendered subject and bodies.
py::object send_template(Args<send_template_params>& args) {
    PYGLUE_ARGUMENTS(args, self, to, subject, template_name, context, cc, bcc, sender, sender_name,
                     attachments, reply_to);
    py::object ctx = truth(context) ? borrow(context) : py::dict();
    py::object now = args.global(datetime).attr("now")();
    py::object stamp = now.attr("strftime")("%Y-%m-%d %H:%M:%S");
    ctx.attr("setdefault")("occurred_at", stamp);

    auto engine = [self = self] { return self.attr(template_engine_attr); };
    py::object html_content = engine().attr(render_attr)(template_name + py::str(".html"), ctx);
    py::object text_content = engine().attr(render_attr)(template_name + py::str(".txt"), ctx);
    py::object rendered_subject =
        engine().attr(render_string_attr)(unescaped(engine(), subject), ctx);

    args.call_by_keyword<send_params, "self">(
        self.attr(send_attr), keyword<"subject">(rendered_subject), keyword<"body">(text_content),
        keyword<"html">(html_content));
    return py::none();
}

}  // namespace

constexpr Operation send_operation =
    operation<send_params, send>("send", Kind::method, send_doc, "None");
constexpr Operation send_template_operation = operation<send_template_params, send_template>(
    "send_template", Kind::method, send_template_doc, "None");

}  // namespace mailer
