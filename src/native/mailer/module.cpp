// brisvane.mailer: the module's load steps, the EasyMailer class table and
// its constructor.
#include "mailer/operations.hpp"

namespace mailer {

namespace {

const char class_doc[] =
    "\n    简易邮件发送工具,支持纯文本、HTML格式以及基于模板的邮件发送。\n"
    "\n"
    "    使用示例：\n"
    "        mailer = EasyMailer(\n"
    "            host=\"smtp.example.com\",\n"
    "            port=465,\n"
    "            username=\"user@example.com\",\n"
    "            password=\"your-password\",\n"
    "            use_ssl=True,\n"
    "        )\n"
    "        mailer.send(\n"
    "            to=\"friend@example.com\",\n"
    "            subject=\"你好\",\n"
    "            body=\"这是一封纯文本测试邮件。\",\n"
    "        )\n    ";

const char init_doc[] =
    "\n        初始化邮件发送器。\n"
    "\n"
    "        参数说明：\n"
    "            host: SMTP 服务器地址\n"
    "            port: SMTP 服务器端口（SSL 通常为 465，TLS 通常为 587，不加密的明文端口为 25）\n"
    "            username: SMTP 登录账号\n"
    "            password: SMTP 登录密码\n"
    "            use_ssl: 是否启用 SSL 连接（通常配合 465 端口）\n"
    "            use_tls: 是否启用 STARTTLS 升级（通常配合 587 端口），不能与 use_ssl 同时启用\n"
    "            default_sender: 默认发件人地址，未配置时使用登录账号 username 作为发件人\n"
    "            template_dir: 自定义模板目录，传入 None 时使用内置模板\n        ";

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

const char attach_binary_doc[] =
    "Attach binary data.\n"
    "\n"
    "        Args:\n"
    "            item: a dict with the keys \"filename\", \"data\" (bytes) and \"content_type\",\n"
    "                for example {\"filename\": \"name.png\", \"data\": b\"...\", "
    "\"content_type\": \"image/png\"}\n"
    "                content_type is optional, auto-detected from filename.\n        ";

constexpr const char* recipients_type = "Union[str, List[str]]";
constexpr const char* optional_recipients = "Optional[Union[str, List[str]]]";
constexpr const char* attachments_type = "Optional[List[Union[str, Dict]]]";
constexpr Default none = Default::none;

constexpr Param init_params[] = {
    {"self", nullptr},
    {"host", "str"},
    {"port", "int"},
    {"username", "str"},
    {"password", "str"},
    {"use_ssl", "bool", Default::true_},
    {"use_tls", "bool", Default::false_},
    {"default_sender", "Optional[str]", none},
    {"template_dir", "Optional[str]", none},
};
const Param send_params[] = {
    {"self", nullptr},
    {"to", recipients_type},
    {"subject", "str"},
    {"body", "Optional[str]", none},
    {"html", "Optional[str]", none},
    {"cc", optional_recipients, none},
    {"bcc", optional_recipients, none},
    {"sender", "Optional[str]", none},
    {"sender_name", "Optional[str]", none},
    {"attachments", attachments_type, none},
    {"reply_to", "Optional[str]", none},
};
const Param send_template_params[] = {
    {"self", nullptr},
    {"to", recipients_type},
    {"subject", "str"},
    {"template_name", "str"},
    {"context", "Optional[dict]", none},
    {"cc", optional_recipients, none},
    {"bcc", optional_recipients, none},
    {"sender", "Optional[str]", none},
    {"sender_name", "Optional[str]", none},
    {"attachments", attachments_type, none},
    {"reply_to", "Optional[str]", none},
};
const Param build_message_params[] = {
    {"self", nullptr},
    {"to", recipients_type},
    {"subject", "str"},
    {"body", "Optional[str]"},
    {"html", "Optional[str]"},
    {"cc", optional_recipients},
    {"sender", "Optional[str]"},
    {"sender_name", "Optional[str]"},
    {"attachments", attachments_type},
    {"reply_to", "Optional[str]"},
};
const Param attach_file_params[] = {{"msg", "MIMEMultipart"}, {"filepath", "str"}};
const Param attach_binary_params[] = {{"msg", "MIMEMultipart"}, {"item", "Dict"}};
const Param collect_recipients_params[] = {
    {"to", recipients_type}, {"cc", optional_recipients}, {"bcc", optional_recipients}};
const Param do_send_params[] = {
    {"self", nullptr}, {"msg", "MIMEMultipart"}, {"recipients", "List[str]"}, {"sender", "str"}};

const Operation operations[] = {
    {"__init__", Kind::method, init_doc, init_params, nullptr, init, convert_init_arguments},
    {"send", Kind::method, send_doc, send_params, "None", send},
    {"send_template", Kind::method, send_template_doc, send_template_params, "None", send_template},
    {"_build_message", Kind::method, nullptr, build_message_params, "MIMEMultipart", build_message},
    {"_attach_file", Kind::static_method, "Attach a file from a file path.", attach_file_params,
     "None", attach_file},
    {"_attach_binary", Kind::static_method, attach_binary_doc, attach_binary_params, "None",
     attach_binary},
    {"_collect_recipients", Kind::static_method, nullptr, collect_recipients_params, "List[str]",
     collect_recipients},
    {"_do_send", Kind::method, nullptr, do_send_params, "None", do_send},
};

void populate(Loader& loader) {
    loader.pin_builtin("staticmethod");
    loader.pin_builtin("open");
    loader.import("smtplib");
    loader.import("ssl");
    loader.import("mimetypes");
    loader.from_import("datetime", {"datetime"});
    loader.from_import("email.mime.multipart", {"MIMEMultipart"});
    loader.from_import("email.mime.text", {"MIMEText"});
    loader.from_import("email.mime.base", {"MIMEBase"});
    loader.from_import("email", {"encoders"});
    loader.from_import("email.utils", {"formataddr", "formatdate"});
    loader.from_import("typing", {"List", "Optional", "Union", "Dict"});
    loader.from_import("pathlib", {"Path"});
    loader.from_import("template", {"TemplateEngine"}, 1);
    loader.bind("EasyMailer", loader.make_class("EasyMailer", class_doc, operations));
}

}  // namespace

// The port is converted with int() when it is not an int but has a numeric
// conversion; the two TLS switches are reduced to their truth values.
void convert_init_arguments(Call& call) {
    constexpr std::size_t port_at = index_of_param(init_params, "port");
    constexpr std::size_t use_ssl_at = index_of_param(init_params, "use_ssl");
    constexpr std::size_t use_tls_at = index_of_param(init_params, "use_tls");
    py::handle port = call[port_at];
    if (!PyLong_CheckExact(port.ptr())) {
        PyNumberMethods* number = Py_TYPE(port.ptr())->tp_as_number;
        if (number == nullptr || (number->nb_int == nullptr && number->nb_float == nullptr))
            raise_argument_type(init_params[port_at].name, &PyLong_Type, Py_TYPE(port.ptr()),
                                false);
        call.replace(port_at, checked(PyNumber_Long(port.ptr())));
    }
    for (const std::size_t at : {use_ssl_at, use_tls_at})
        call.replace(at, py::bool_(truth(call[at])));
}

py::object init(Call& call) {
    auto [self, host, port, username, password, use_ssl, use_tls, default_sender, template_dir] =
        call.args<9>();
    if (use_ssl.ptr() == Py_True && use_tls.ptr() == Py_True)
        raise(PyExc_ValueError, "use_ssl and use_tls cannot both be True.");
    self.attr("host") = host;
    self.attr("port") = port;
    self.attr("username") = username;
    self.attr("password") = password;
    self.attr("use_ssl") = use_ssl;
    self.attr("use_tls") = use_tls;
    self.attr("default_sender") = truth(default_sender) ? default_sender : username;
    self.attr("_template_engine") = call.global(TemplateEngine)(template_dir);
    return py::none();
}

}  // namespace mailer

PyMODINIT_FUNC PyInit_mailer() {
    return pyglue::init_module("mailer", mailer::populate);
}
