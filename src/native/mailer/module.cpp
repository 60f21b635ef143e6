// brisvane.mailer: the module's load steps, the EasyMailer class and its
// constructor.
#include "mailer/module.hpp"

#include "mailer/attachments.hpp"
#include "mailer/compose.hpp"
#include "mailer/delivery.hpp"
#include "mailer/send.hpp"

namespace mailer {

using namespace pyglue;

const Name smtplib{"smtplib"};
const Name ssl{"ssl"};
const Name mimetypes{"mimetypes"};
const Name datetime{"datetime"};
const Name MIMEMultipart{"MIMEMultipart"};
const Name MIMEText{"MIMEText"};
const Name MIMEBase{"MIMEBase"};
const Name encoders{"encoders"};
const Name formataddr{"formataddr"};
const Name formatdate{"formatdate"};
const Name Path{"Path"};
const Name TemplateEngine{"TemplateEngine"};
const Name builtin_open{"open"};
const Name email_utils{"email.utils"};
const Name email_header{"email.header"};
const Name email_mime_base_MIMEBase{"email.mime.base.MIMEBase"};
const Name email_encoders{"email.encoders"};
const Name email_encoders_encode_base64{"email.encoders.encode_base64"};

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

constexpr Param init_params[] = {
    {"self", nullptr},
    {"host", "str"},
    {"port", "int"},
    {"username", "str"},
    {"password", "str"},
    {"use_ssl", "bool", Default::true_},
    {"use_tls", "bool", Default::false_},
    {"default_sender", "Optional[str]", Default::none},
    {"template_dir", "Optional[str]", Default::none},
};

// The port is converted with int() when it is not an int but has a numeric
// conversion; the two TLS switches are reduced to their truth values.
void convert_init_arguments(Args<init_params>& args) {
    py::handle port = args.get<"port">();
    if (!PyLong_CheckExact(port.ptr())) {
        PyNumberMethods* number = Py_TYPE(port.ptr())->tp_as_number;
        if (number == nullptr || (number->nb_int == nullptr && number->nb_float == nullptr))
            raise_argument_type(args.param<"port">().name, &PyLong_Type, Py_TYPE(port.ptr()),
                                false);
        args.replace<"port">(checked(PyNumber_Long(port.ptr())));
    }
    args.replace<"use_ssl">(py::bool_(truth(args.get<"use_ssl">())));
    args.replace<"use_tls">(py::bool_(truth(args.get<"use_tls">())));
}

py::object init(Args<init_params>& args) {
    PYGLUE_ARGUMENTS(args, self, host, port, username, password, use_ssl, use_tls, default_sender,
                     template_dir);
    if (use_ssl.ptr() == Py_True && use_tls.ptr() == Py_True)
        raise(PyExc_ValueError, "use_ssl and use_tls cannot both be True.");
    self.attr("host") = host;
    self.attr("port") = port;
    self.attr("username") = username;
    self.attr("password") = password;
    self.attr("use_ssl") = use_ssl;
    self.attr("use_tls") = use_tls;
    self.attr("default_sender") = truth(default_sender) ? default_sender : username;
    self.attr("_template_engine") = args.global(TemplateEngine)(template_dir);
    return py::none();
}

constexpr Operation init_operation = operation<init_params, init, convert_init_arguments>(
    "__init__", Kind::method, init_doc, nullptr);

// The class's operations, in the order of its namespace.
constexpr const Operation* class_operations[] = {
    &init_operation,
    &send_operation,
    &send_template_operation,
    &build_message_operation,
    &attach_file_operation,
    &attach_binary_operation,
    &collect_recipients_operation,
    &do_send_operation,
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
    // For the header shaping; both are loaded by the imports above already.
    loader.pin_module("email.utils");
    loader.pin_module("email.header");
    // To recognise the standard library's own parts and encoder (attachments).
    loader.pin(email_mime_base_MIMEBase.text(), loader.global("MIMEBase"));
    loader.pin(email_encoders.text(), loader.global("encoders"));
    loader.pin(email_encoders_encode_base64.text(),
               loader.global("encoders").attr("encode_base64"));
    loader.bind("EasyMailer", loader.make_class("EasyMailer", class_doc, class_operations));
}

}  // namespace

}  // namespace mailer

PyMODINIT_FUNC PyInit_mailer() {
    return pyglue::init_module("mailer", mailer::populate);
}
