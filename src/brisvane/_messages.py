"""Every text a person reads from the Python layer, in English and Chinese.

One table, keyed by ``"capability.what"``; each entry holds the English text
and the Chinese text, both ``str.format`` templates with the same fields.
A key is written whole where its text is used (never assembled from parts),
so that searching for the key finds both the text and its use; the one
family named by a row of data is ``cli.answer.KEY.cause`` / ``.fix``, KEY
being a row of the known answers (``brisvane.cli._ui.ANSWERS``).  New texts
are added as entries of the one dictionary below.
Modules ask for a text with :func:`text`; the language is the one given, else
``BRISVANE_LANG``, else the process locale (Chinese for any ``zh`` locale,
English otherwise).
"""

from __future__ import annotations

import os

# key: (English, Chinese)
MESSAGES: dict[str, tuple[str, str]] = {
    # shared
    "extra.missing": (
        "brisvane[{extra}] is not installed: pip install 'brisvane[{extra}]'",
        "未安装 brisvane[{extra}]：请执行 pip install 'brisvane[{extra}]'",
    ),
    # delivery
    "delivery.mailer": (
        "expected an EasyMailer, got {type}",
        "需要 EasyMailer 对象，实际得到 {type}",
    ),
    "delivery.timeout": (
        "timeout must be a positive number of seconds or None, not {value!r}",
        "timeout 必须是正的秒数或 None，而不是 {value!r}",
    ),
    "delivery.max_per_connection": (
        "max_per_connection must be a positive integer or None, not {value!r}",
        "max_per_connection 必须是正整数或 None，而不是 {value!r}",
    ),
    "delivery.min_interval": (
        "min_interval must be a number of seconds >= 0, not {value!r}",
        "min_interval 必须是大于等于 0 的秒数，而不是 {value!r}",
    ),
    "delivery.auth": (
        "auth must be an SASL mechanism such as xoauth2(token_provider), not {type}",
        "auth 必须是 SASL 认证机制（例如 xoauth2(token_provider)），而不是 {type}",
    ),
    "delivery.token_provider": (
        "token_provider must be a callable that returns an access token, not {type}",
        "token_provider 必须是返回访问令牌的可调用对象，而不是 {type}",
    ),
    "delivery.token": (
        "the token provider must return the access token as str, not {type}",
        "令牌提供函数必须以 str 返回访问令牌，而不是 {type}",
    ),
    # attachment items
    "items.image_source": (
        "inline_image() takes a file path or the image's bytes, not {type}",
        "inline_image() 需要文件路径或图片的字节数据，而不是 {type}",
    ),
    "items.image_type": (
        "cannot tell the type of the image {cid!r}: pass content_type, for example 'image/png'",
        "无法判断图片 {cid!r} 的类型：请传入 content_type，例如 'image/png'",
    ),
    "items.calendar_type": (
        "calendar_invite() takes the iCalendar text as str or UTF-8 bytes, not {type}",
        "calendar_invite() 需要 str 或 UTF-8 字节形式的 iCalendar 文本，而不是 {type}",
    ),
    "items.calendar_utf8": (
        "the iCalendar text is not UTF-8",
        "iCalendar 文本不是 UTF-8 编码",
    ),
    "items.calendar_method": (
        "the iCalendar text has no METHOD line (METHOD:REQUEST for an invitation)",
        "iCalendar 文本缺少 METHOD 行（邀请应为 METHOD:REQUEST）",
    ),
    # built-in templates
    "builtins.missing": (
        "the built-in template {template!r} needs the variable {missing}; it takes {takes}",
        "内置模板 {template!r} 缺少变量 {missing}；它接受 {takes}",
    ),
    "builtins.takes": (
        "{required} (required) and {optional} (optional)",
        "{required}（必需）以及 {optional}（可选）",
    ),
    # asyncio
    "aio.connections": (
        "connections must be a positive integer, not {value!r}",
        "connections 必须是正整数，而不是 {value!r}",
    ),
    "aio.max_per_connection": (
        "max_per_connection must be a positive integer or None, not {value!r}",
        "max_per_connection 必须是正整数或 None，而不是 {value!r}",
    ),
    # testing
    "testing.capture_target": (
        "capture() takes an EasyMailer or the EasyMailer class, not {got}",
        "capture() 需要一个 EasyMailer 实例或 EasyMailer 类，而不是 {got}",
    ),
    "testing.mode": (
        "unknown mode {mode!r}: use one of {modes}",
        "未知的模式 {mode!r}：请使用 {modes} 之一",
    ),
    "testing.step": (
        "unknown step {step!r}: use one of {steps}",
        "未知的步骤 {step!r}：请使用 {steps} 之一",
    ),
    "testing.times": (
        "times must be a whole number of at least 1, or None for every time, not {times!r}",
        "times 必须是不小于 1 的整数，或为 None（每次都生效），而不是 {times!r}",
    ),
    "testing.not_started": (
        "the SMTP test server is not running: call start() or use it in a with block",
        "SMTP 测试服务器未运行：请先调用 start()，或在 with 语句中使用它",
    ),
    # command line
    "cli.ok": ("ok", "成功"),
    "cli.failed": ("FAILED", "失败"),
    "cli.or": (", or ", "，或 "),
    "cli.mode.ssl": ("implicit TLS", "隐式 TLS"),
    "cli.mode.starttls": ("STARTTLS", "STARTTLS"),
    "cli.mode.plain": ("plain (no TLS)", "明文（无 TLS）"),
    "cli.step.resolve": ("DNS", "域名解析"),
    "cli.step.tcp": ("TCP", "TCP 连接"),
    "cli.step.tls": ("TLS", "TLS"),
    "cli.step.starttls": ("STARTTLS", "STARTTLS"),
    "cli.step.greeting": ("greeting", "服务器问候"),
    "cli.step.ehlo": ("EHLO", "EHLO"),
    "cli.step.login": ("login", "登录"),
    "cli.step.probe": ("trying", "尝试"),
    "cli.step.send": ("sending", "发送"),
    "cli.tls.ok": (
        "{version}, certificate verified, valid until {until}",
        "{version}，证书已验证，有效期至 {until}",
    ),
    "cli.tls.untrusted": ("certificate not trusted ({detail})", "证书不受信任（{detail}）"),
    "cli.tls.expired": ("certificate expired ({detail})", "证书已过期（{detail}）"),
    "cli.tls.not_yet_valid": ("certificate not yet valid ({detail})", "证书尚未生效（{detail}）"),
    "cli.tls.hostname": (
        "certificate is for another host name ({detail})",
        "证书属于另一个主机名（{detail}）",
    ),
    "cli.greeting.timeout": (
        "no greeting within {timeout:g} s",
        "{timeout:g} 秒内没有收到服务器问候",
    ),
    "cli.ehlo.extensions": ("extensions: {names}", "扩展：{names}"),
    "cli.ehlo.auth": ("AUTH mechanisms: {names}", "认证机制：{names}"),
    "cli.ehlo.size": ("size limit: {mib} MiB", "邮件大小上限：{mib} MiB"),
    "cli.ehlo.size_not_a_number": (
        "size limit: the server sent SIZE {value}, which is not a number of bytes",
        "邮件大小上限：服务器发送的 SIZE {value} 不是字节数",
    ),
    "cli.ehlo.plain_offers_starttls": (
        "the server offers STARTTLS, but this mode would send the password unencrypted: use --mode "
        "starttls",
        "服务器支持 STARTTLS，但此模式会以明文发送密码：请使用 --mode starttls",
    ),
    "cli.login.ok": ("logged in as {user}", "已以 {user} 登录"),
    "cli.password.prompt": (
        "Password (or authorization code) for {user}: ",
        "{user} 的密码（或授权码）：",
    ),
    "cli.password.unset": ("the environment variable {name} is not set", "环境变量 {name} 未设置"),
    "cli.password.none": (
        "no password was read: name an environment variable holding it with --password-env",
        "没有读到密码：请用 --password-env 指定保存密码的环境变量",
    ),
    "cli.check.provider": ("{name}: {settings}", "{name}：{settings}"),
    "cli.check.heading_auto": (
        "Checking {host} as {user}: finding the port and mode",
        "检查 {host}，账户 {user}：寻找端口和模式",
    ),
    "cli.check.heading": (
        "Checking {host}:{port}, {mode}, as {user}",
        "检查 {host}:{port}（{mode}），账户 {user}",
    ),
    "cli.check.all_ok": (
        "Every step passed (no mail was sent). Construct the mailer with:",
        "所有步骤均通过（没有发送邮件）。这样创建 mailer：",
    ),
    "cli.check.probing": ("Trying the other modes:", "尝试其他模式："),
    "cli.check.works_instead": (
        "This setting answers; construct the mailer with:",
        "以下设置可以连接；这样创建 mailer：",
    ),
    "cli.check.nothing_works": ("No port and mode answered.", "没有任何端口和模式能连接成功。"),
    "cli.check.only_plain": (
        "Port {port} answers only in plain text, without STARTTLS; the password was not sent. "
        "A missing STARTTLS can be an attack: someone between you and the server can strip it "
        "from the server's answer to read the password (STARTTLS stripping). Log in there "
        "without TLS only if you trust every network on the way: --mode plain.",
        "端口 {port} 只以明文应答，不提供 STARTTLS；密码没有发送。缺少 STARTTLS 可能是攻击："
        "你和服务器之间的人可以从服务器的回复中删去 STARTTLS，以读取密码（STARTTLS 剥离攻击）。"
        "只有在信任途经的每一段网络时，才在那里不用 TLS 登录：--mode plain。",
    ),
    "cli.send.no_server": (
        "give --host and --user, or set BRISVANE_HOST and BRISVANE_USER",
        "请给出 --host 和 --user，或设置 BRISVANE_HOST 和 BRISVANE_USER",
    ),
    "cli.send.template_and_body": (
        "give either --template or a body (--body, --body-file, --html-file), not both",
        "--template 与正文（--body、--body-file、--html-file）只能选其一",
    ),
    "cli.send.no_body": (
        "give --body, --body-file, --html-file or --template",
        "请给出 --body、--body-file、--html-file 或 --template",
    ),
    "cli.arg.port": ("{value!r} is not a port (1 to 65535)", "{value!r} 不是端口号（1 到 65535）"),
    "cli.arg.seconds": (
        "{value!r} is not a positive number of seconds",
        "{value!r} 不是正的秒数",
    ),
    "cli.arg.seconds_too_long": (
        "{value!r} seconds is too long: at most {limit}",
        "{value!r} 秒太长：最多 {limit} 秒",
    ),
    "cli.context.unreadable": (
        "the context {value!r} is neither a file nor JSON ({error})",
        "上下文 {value!r} 既不是文件，也不是 JSON（{error}）",
    ),
    "cli.context.not_object": (
        "the context must be a JSON object, not {type}",
        "上下文必须是 JSON 对象，而不是 {type}",
    ),
    "cli.send.bad_port": (
        "the port must be a number from 1 to 65535, not {port!r}",
        "端口必须是 1 到 65535 之间的数字，而不是 {port!r}",
    ),
    "cli.send.no_attachment": ("no such file to attach: {path}", "要附加的文件不存在：{path}"),
    "cli.send.bad_mode": (
        "mode must be one of {modes}, not {mode!r}",
        "模式必须是 {modes} 之一，而不是 {mode!r}",
    ),
    "cli.send.heading": (
        "Sending through {host}:{port}, {mode}, as {user}",
        "通过 {host}:{port}（{mode}）以 {user} 发送",
    ),
    "cli.send.sent": ("sent to {count} recipient(s)", "已发送给 {count} 个收件人"),
    "cli.preview.not_found": (
        "no template {name}.html or {name}.txt in the search path",
        "模板搜索路径中没有 {name}.html 或 {name}.txt",
    ),
    "cli.preview.subject": ("Subject: {subject}", "主题：{subject}"),
    "cli.preview.wrote": ("wrote {path}", "已写入 {path}"),
    "cli.lint.undefined": ("{file}: undefined: {name}", "{file}：未定义：{name}"),
    "cli.lint.no_text": (
        "no .txt twin: clients that show plain text get nothing",
        "缺少同名 .txt：只显示纯文本的客户端将什么也看不到",
    ),
    "cli.lint.entities": (
        "HTML entities in the plain text: {entities}",
        "纯文本中含有 HTML 实体：{entities}",
    ),
    "cli.lint.script": (
        "scripts or event handlers: every mail client removes them",
        "脚本或事件处理属性：所有邮件客户端都会删除",
    ),
    "cli.lint.remote_image": (
        "remote images: most clients block them until the reader allows it; send the picture "
        "with the mail instead (brisvane.inline_image(path, 'logo'), shown by "
        '<img src="cid:logo">)',
        "远程图片：多数客户端默认不加载，需读者手动允许；请改为随邮件发送图片"
        "（brisvane.inline_image(path, 'logo')，用 <img src=\"cid:logo\"> 显示）",
    ),
    "cli.lint.remote_font": (
        "remote fonts or stylesheets: most clients ignore them",
        "远程字体或样式表：多数客户端会忽略",
    ),
    "cli.lint.form": (
        "forms or form fields: most clients disable them",
        "表单或表单控件：多数客户端会禁用",
    ),
    "cli.lint.style_block": (
        "<style> rules outside @media: webmail that strips <style> loses them; put them inline",
        "<style> 中有 @media 之外的规则：会删除 <style> 的网页邮箱将丢失这些样式，请写成内联样式",
    ),
    "cli.lint.style_in_body": (
        "<style> inside <body>: webmail strips it",
        "<body> 中的 <style>：网页邮箱会删除",
    ),
    "cli.lint.cid_missing": (
        "cid:{cid} shows no image: the mail carries no inline image with that cid "
        "(to lint or preview with one: --image {cid}=FILE)",
        "cid:{cid} 没有对应图片：邮件中没有该 cid 的内嵌图片"
        "（检查或预览时可用 --image {cid}=FILE 提供）",
    ),
    "cli.lint.cid_unused": (
        "the inline image {cid!r} is never shown (no cid:{cid} in the HTML): "
        "readers see it as a stray attachment",
        "内嵌图片 {cid!r} 从未被引用（HTML 中没有 cid:{cid}）：读者会把它当作多余的附件",
    ),
    "cli.image.form": (
        "--image takes CID=FILE, not {value!r}",
        "--image 的格式应为 CID=FILE，而不是 {value!r}",
    ),
    "cli.lint.too_wide": (
        "wider than 600 px ({width} px): too wide for the reading pane",
        "宽度超过 600 像素（{width} 像素）：超出阅读窗格",
    ),
    "cli.lint.no_dir": ("{dir}: not a directory", "{dir}：不是目录"),
    "cli.lint.none": ("no templates found", "没有找到模板"),
    "cli.lint.summary": (
        "{templates} template(s), {findings} finding(s)",
        "{templates} 个模板，{findings} 个问题",
    ),
    "cli.explain.answer": ("Server answer: ", "服务器回复："),
    "cli.explain.cause": ("Cause: ", "原因："),
    "cli.explain.fix": ("Fix: ", "解决："),
    "cli.explain.nothing": (
        "nothing to explain: give the error text, pipe it in, or run check or send first",
        "没有可解释的内容：请给出错误文本、从标准输入传入，或先运行 check 或 send",
    ),
    "cli.explain.unknown": ("This answer is not one brisvane knows:", "brisvane 不认识这个回复："),
    "cli.explain.general": (
        "A 4xx code is temporary (try again later); a 5xx code is final. Check the host, port and "
        "mode "
        "with `brisvane check HOST --mode auto --user USER`, and read the text above: servers "
        "usually name the problem.",
        "4xx 代码表示暂时失败（稍后重试）；5xx 表示永久失败。用 `brisvane check HOST --mode auto "
        "--user USER` "
        "检查主机、端口和模式，并阅读上面的文本：服务器通常会说明问题所在。",
    ),
    # answers of servers: cause, fix
    "cli.answer.qq_auth_code.cause": (
        "QQ Mail refuses the QQ password for SMTP: it wants the authorization code (授权码).",
        "QQ 邮箱的 SMTP 不接受 QQ 密码，需要使用授权码。",
    ),
    "cli.answer.qq_auth_code.fix": (
        "In QQ Mail: 设置 → 账户 → POP3/IMAP/SMTP服务, turn the service on and generate an "
        "authorization code; use it as the password.",
        "在 QQ 邮箱 设置 → 账户 → POP3/IMAP/SMTP服务 中开启服务并生成授权码，用它作为密码。",
    ),
    "cli.answer.netease_auth.cause": (
        "163/126 Mail refused the login: SMTP needs the service turned on and the authorization "
        "code (授权码), not the login password.",
        "163/126 邮箱拒绝登录：SMTP 需要先开启服务，并使用授权码而不是登录密码。",
    ),
    "cli.answer.netease_auth.fix": (
        "In the web mail: 设置 → POP3/SMTP/IMAP, turn SMTP on, generate an authorization code and "
        "use it as the password.",
        "在网页邮箱 设置 → POP3/SMTP/IMAP 中开启 SMTP 服务并生成授权码，用它作为密码。",
    ),
    "cli.answer.from_not_login.cause": (
        "The sender (From / envelope sender) is not the account you logged in with; QQ, 163 and "
        "126 refuse that.",
        "发件人（From/信封发件人）与登录账户不一致，QQ、163、126 邮箱会拒绝。",
    ),
    "cli.answer.from_not_login.fix": (
        "Send from the login address: leave default_sender unset (or equal to the user name) and "
        "do not pass another sender; use sender_name for the display name.",
        "使用登录账户作为发件人：不要设置其他 default_sender 或 sender；显示名称用 sender_name。",
    ),
    "cli.answer.netease_spam.cause": (
        "163 Mail's filter took the content for spam (DT:SPM); the login and connection are fine.",
        "163 邮箱的反垃圾过滤器把邮件内容判为垃圾邮件（DT:SPM）；登录和连接都没有问题。",
    ),
    "cli.answer.netease_spam.fix": (
        "Change the mail: a real subject and text (not only a link or a test word), a plain-text "
        "part beside the HTML, and fewer links; sending a copy to yourself first also helps.",
        "修改邮件内容：使用真实的主题和正文（不要只有链接或“test”），HTML 之外附上纯文本部分，减少"
        "链接；"
        "先抄送给自己也有帮助。",
    ),
    "cli.answer.gmail_app_password.cause": (
        "Gmail wants an app password: the account has 2-Step Verification and refuses its normal "
        "password.",
        "Gmail 需要应用专用密码：该账户开启了两步验证，不接受普通密码。",
    ),
    "cli.answer.gmail_app_password.fix": (
        "Create an app password in the Google account (Security → App passwords) and use it as the "
        "password, or use OAuth2 (brisvane.delivery.xoauth2).",
        "在 Google 账户（安全性 → 应用专用密码）中创建应用专用密码并用作密码，或使用 OAuth2"
        "（brisvane.delivery.xoauth2）。",
    ),
    "cli.answer.gmail_web_login.cause": (
        "Google blocked the sign-in and wants it confirmed in a web browser first.",
        "Google 拦截了这次登录，要求先在浏览器中确认。",
    ),
    "cli.answer.gmail_web_login.fix": (
        "Sign in to the account in a browser, then use an app password (or OAuth2) for SMTP.",
        "先在浏览器中登录该账户，然后在 SMTP 中使用应用专用密码（或 OAuth2）。",
    ),
    "cli.answer.gmail_bad_credentials.cause": (
        "Gmail did not accept the user name and password; it takes only an app password (or "
        "OAuth2), "
        "never the account password.",
        "Gmail 不接受该用户名和密码；它只接受应用专用密码（或 OAuth2），不接受账户密码。",
    ),
    "cli.answer.gmail_bad_credentials.fix": (
        "Check the user name (the full address) and use an app password (it needs 2-Step "
        "Verification).",
        "检查用户名（完整邮箱地址），并使用应用专用密码（需要开启两步验证）。",
    ),
    "cli.answer.microsoft_auth_disabled.cause": (
        "Microsoft 365 / Outlook.com has password login (basic authentication, SMTP AUTH) turned "
        "off "
        "for this account or organisation.",
        "Microsoft 365/Outlook.com 已为该账户或组织关闭密码登录（基本身份验证，SMTP AUTH）。",
    ),
    "cli.answer.microsoft_auth_disabled.fix": (
        "Use OAuth2 (brisvane.delivery.xoauth2); or an administrator enables Authenticated SMTP "
        "for "
        "the mailbox, where the organisation still allows it.",
        "使用 OAuth2（brisvane.delivery.xoauth2）；或在组织仍允许时，由管理员为该邮箱开启 "
        "Authenticated SMTP。",
    ),
    "cli.answer.microsoft_not_authenticated.cause": (
        "Microsoft 365 took the mail from a client that is not logged in: the login failed or did "
        "not happen.",
        "Microsoft 365 收到了未登录客户端的邮件：登录失败或没有登录。",
    ),
    "cli.answer.microsoft_not_authenticated.fix": (
        "Run brisvane check to see the login step; password login is being retired, so use OAuth2 "
        "(brisvane.delivery.xoauth2).",
        "运行 brisvane check 查看登录步骤；微软正在停用密码登录，请使用 OAuth2（"
        "brisvane.delivery.xoauth2）。",
    ),
    "cli.answer.microsoft_bad_credentials.cause": (
        "Microsoft refused the login: a wrong password, or password login not allowed for the "
        "account.",
        "微软拒绝了登录：密码错误，或该账户不允许密码登录。",
    ),
    "cli.answer.microsoft_bad_credentials.fix": (
        "Check the password (an app password where the account has two-step verification), or use "
        "OAuth2 (brisvane.delivery.xoauth2).",
        "检查密码（账户开启两步验证时使用应用密码），或使用 OAuth2（brisvane.delivery.xoauth2）。",
    ),
    "cli.answer.bad_credentials.cause": (
        "The server refused the user name or password.",
        "服务器拒绝了用户名或密码。",
    ),
    "cli.answer.bad_credentials.fix": (
        "Check both. Many providers want something else than the account password: QQ, 163 and 126 "
        "an authorization code (授权码), Gmail and iCloud an app password.",
        "检查两者。许多服务商不接受账户密码：QQ、163、126 邮箱需要授权码，Gmail 和 iCloud 需要应用"
        "专用密码。",
    ),
    "cli.answer.no_auth.cause": (
        "The server offers no login (no AUTH): a relay that takes mail without authentication, or "
        "a port that allows login only after STARTTLS.",
        "服务器不提供登录（没有 AUTH）：它是无需认证的中继，或该端口只在 STARTTLS 之后才允许登录。",
    ),
    "cli.answer.no_auth.fix": (
        "For a relay: delivery.configure(mailer, login=False). Otherwise use STARTTLS "
        "(use_ssl=False, use_tls=True) or the submission port 465/587.",
        "中继：使用 delivery.configure(mailer, login=False)。否则使用 STARTTLS（use_ssl=False, "
        "use_tls=True）"
        "或提交端口 465/587。",
    ),
    "cli.answer.no_starttls.cause": (
        "STARTTLS was asked for, but this port does not offer it, so the password was not sent. "
        "A missing STARTTLS can be an attack: someone between you and the server can strip it "
        "from the server's answer to read the password (STARTTLS stripping).",
        "请求了 STARTTLS，但该端口不支持，因此密码没有发送。缺少 STARTTLS 可能是攻击：你和服务器之"
        "间的人"
        "可以从服务器的回复中删去 STARTTLS，以读取密码（STARTTLS 剥离攻击）。",
    ),
    "cli.answer.no_starttls.fix": (
        "Use implicit TLS on its port (usually 465, use_ssl=True), or check the port with "
        "brisvane check HOST --mode auto. Where the server usually offers STARTTLS, try again "
        "from another network.",
        "在对应端口使用隐式 TLS（通常为 465，use_ssl=True），或用 brisvane check HOST --mode auto "
        "检查端口。"
        "如果该服务器平时提供 STARTTLS，请换一个网络再试。",
    ),
    "cli.answer.tls_on_plain_port.cause": (
        "Implicit TLS (use_ssl=True) against a port that speaks plain SMTP or STARTTLS: the server "
        "answered the TLS handshake with plain text.",
        "对明文或 STARTTLS 端口使用了隐式 TLS（use_ssl=True）：服务器用明文回应了 TLS 握手。",
    ),
    "cli.answer.tls_on_plain_port.fix": (
        "On port 587 (or 25) use STARTTLS: EasyMailer(host, 587, user, password, use_ssl=False, "
        "use_tls=True); or use port 465 for implicit TLS.",
        "在 587（或 25）端口使用 STARTTLS：EasyMailer(host, 587, user, password, use_ssl=False, "
        "use_tls=True)；"
        "或使用 465 端口的隐式 TLS。",
    ),
    "cli.answer.greeting_timeout.cause": (
        "The server sent no greeting: usually a plain or STARTTLS connection to an implicit-TLS "
        "port "
        "(such as 465), where the server waits for a TLS handshake.",
        "服务器没有发送问候：通常是以明文或 STARTTLS 连接了隐式 TLS 端口（例如 465），服务器在等待 "
        "TLS 握手。",
    ),
    "cli.answer.greeting_timeout.fix": (
        "On port 465 use implicit TLS: EasyMailer(host, 465, user, password) (use_ssl=True is the "
        "default); brisvane check HOST --mode auto finds the mode.",
        "在 465 端口使用隐式 TLS：EasyMailer(host, 465, user, password)（默认 use_ssl=True）；"
        "brisvane check HOST --mode auto 可以找出正确的模式。",
    ),
    "cli.answer.cert_expired.cause": (
        "The server's certificate has expired.",
        "服务器的证书已过期。",
    ),
    "cli.answer.cert_expired.fix": (
        "The server's operator must renew it; also check this machine's clock.",
        "需要服务器管理员更新证书；同时检查本机时间是否正确。",
    ),
    "cli.answer.cert_hostname.cause": (
        "The server's certificate is for another host name than the one connected to.",
        "服务器证书所属的主机名与连接的主机名不一致。",
    ),
    "cli.answer.cert_hostname.fix": (
        "Connect with the host name the certificate names (the provider's documented SMTP host, "
        "not "
        "an IP address or an alias).",
        "使用证书中的主机名连接（服务商公布的 SMTP 主机名，而不是 IP 地址或别名）。",
    ),
    "cli.answer.cert_untrusted.cause": (
        "The server's certificate is not signed by an authority this machine trusts (self-signed, "
        "or a private CA).",
        "服务器证书不是由本机信任的证书机构签发的（自签名或私有 CA）。",
    ),
    "cli.answer.cert_untrusted.fix": (
        "Install the CA certificate on this machine, or point SSL_CERT_FILE at a file holding it; "
        "never turn verification off.",
        "在本机安装该 CA 证书，或让 SSL_CERT_FILE 指向包含它的文件；不要关闭证书验证。",
    ),
    "cli.answer.refused.cause": (
        "Nothing accepts connections on that host and port.",
        "该主机和端口上没有服务接受连接。",
    ),
    "cli.answer.refused.fix": (
        "Check the port (465 implicit TLS, 587 STARTTLS); a firewall or the network may also block "
        "it.",
        "检查端口（465 隐式 TLS，587 STARTTLS）；也可能被防火墙或网络拦截。",
    ),
    "cli.answer.dns.cause": ("The host name could not be resolved.", "无法解析该主机名。"),
    "cli.answer.dns.fix": (
        "Check the spelling of the SMTP host (for example smtp.qq.com, smtp.gmail.com) and the "
        "network's name server.",
        "检查 SMTP 主机名的拼写（例如 smtp.qq.com、smtp.gmail.com）以及网络的域名服务器。",
    ),
    "cli.answer.timeout.cause": (
        "The server did not answer in time: a TLS mode that does not match the port, or a firewall "
        "that drops the connection.",
        "服务器没有及时响应：TLS 模式与端口不匹配，或防火墙丢弃了连接。",
    ),
    "cli.answer.timeout.fix": (
        "Find the mode with brisvane check HOST --mode auto --user USER; many networks block port "
        "25.",
        "用 brisvane check HOST --mode auto --user USER 找出正确的模式；许多网络会封锁 25 端口。",
    ),
    "cli.answer.disconnected.cause": (
        "The server closed the connection without an answer: often a TLS mode that does not match "
        "the port, or a server limiting connections.",
        "服务器未作回应就关闭了连接：常见原因是 TLS 模式与端口不匹配，或服务器限制了连接。",
    ),
    "cli.answer.disconnected.fix": (
        "Check the mode with brisvane check HOST --mode auto --user USER; if it passes, wait and "
        "try again.",
        "用 brisvane check HOST --mode auto --user USER 检查模式；如果检查通过，请稍后重试。",
    ),
    "cli.answer.temporary.cause": (
        "A temporary refusal (4xx): the server is busy, limits the rate, or greylists.",
        "暂时性拒绝（4xx）：服务器繁忙、限制了发送频率或启用了灰名单。",
    ),
    "cli.answer.temporary.fix": (
        "Try again later; for many mails use delivery.connection with min_interval.",
        "稍后重试；大量发送时使用 delivery.connection 并设置 min_interval。",
    ),
    # the password column of the provider table
    "cli.provider.gmail": (
        "an app password (needs 2-Step Verification); the account password is refused",
        "应用专用密码（需开启两步验证），账户密码会被拒绝",
    ),
    "cli.provider.qq": (
        "the authorization code (授权码) from 设置 → 账户 → POP3/IMAP/SMTP服务, not the QQ "
        "password",
        "在 设置 → 账户 → POP3/IMAP/SMTP服务 中生成的授权码，不是 QQ 密码",
    ),
    "cli.provider.163": (
        "the authorization code (授权码) from 设置 → POP3/SMTP/IMAP, not the login password",
        "在 设置 → POP3/SMTP/IMAP 中生成的授权码，不是登录密码",
    ),
    "cli.provider.126": (
        "the authorization code (授权码) from 设置 → POP3/SMTP/IMAP, not the login password",
        "在 设置 → POP3/SMTP/IMAP 中生成的授权码，不是登录密码",
    ),
    "cli.provider.microsoft": (
        "Microsoft has been retiring password login (basic authentication) for SMTP in favour of "
        "OAuth2, which the class does not do: expect `SMTPAuthenticationError`, or use OAuth2 "
        "(`delivery.xoauth2`)",
        "微软正在逐步停用 SMTP 的密码登录（基本身份验证），改用 OAuth2，而类本身不支持 OAuth2："
        "会得到 `SMTPAuthenticationError`，或者使用 OAuth2（`delivery.xoauth2`）",
    ),
    "cli.provider.icloud": (
        "an app-specific password (needs two-factor authentication); the user name is the iCloud "
        "address",
        "App 专用密码（需开启双重认证）；用户名是 iCloud 邮箱地址",
    ),
    # --help
    "cli.help.description": (
        "Check an SMTP server, explain its refusal, send mail, preview and lint templates. "
        "Exit status: 0 on success, 1 on a finding or a failure.",
        "检查 SMTP 服务器、解释其拒绝原因、发送邮件、预览和检查模板。退出状态：成功为 0，发现问题或"
        "失败为 1。",
    ),
    "cli.help.lang": (
        "language of the messages (default: BRISVANE_LANG, else the locale)",
        "消息语言（默认取 BRISVANE_LANG，否则取系统区域设置）",
    ),
    "cli.help.check": (
        "connect step by step (name, TCP, TLS, EHLO, login) and say what fails; never sends mail",
        "逐步连接（域名解析、TCP、TLS、EHLO、登录）并指出失败的步骤；不会发送邮件",
    ),
    "cli.help.explain": (
        "explain a server's error (argument, standard input, or the last failure of check/send)",
        "解释服务器的错误（参数、标准输入，或 check/send 最近一次失败）",
    ),
    "cli.help.send": ("send one mail through EasyMailer", "通过 EasyMailer 发送一封邮件"),
    "cli.help.preview": (
        "render a template to NAME.html, NAME.txt and NAME.eml",
        "把模板渲染为 NAME.html、NAME.txt 和 NAME.eml",
    ),
    "cli.help.lint": (
        "check template pairs: undefined names, missing .txt, entities in text, scripts, remote "
        "images and fonts, forms, <style>, widths over 600 px",
        "检查模板对：未定义的变量、缺少 .txt、纯文本中的 HTML 实体、脚本、远程图片和字体、表单、"
        "<style>、超过 600 像素的宽度",
    ),
    "cli.help.host": ("the SMTP server, e.g. smtp.qq.com", "SMTP 服务器，例如 smtp.qq.com"),
    "cli.help.port": (
        "port (default: the provider's, else by mode: 465, 587, 25)",
        "端口（默认取服务商的设置，否则按模式：465、587、25）",
    ),
    "cli.help.mode": (
        "TLS mode: ssl (implicit TLS), starttls, plain; auto tries the TLS modes (the password "
        "goes in plain text only with plain)",
        "TLS 模式：ssl（隐式 TLS）、starttls、plain；auto 会逐一尝试 TLS 模式（只有 plain 才会以明"
        "文发送密码）",
    ),
    "cli.help.send_mode": (
        "TLS mode: ssl (implicit TLS, the default), starttls, plain (default: BRISVANE_MODE)",
        "TLS 模式：ssl（隐式 TLS，默认）、starttls、plain（默认取 BRISVANE_MODE）",
    ),
    "cli.help.user": ("login account", "登录账户"),
    "cli.help.password_env": (
        "read the password from this environment variable (else a prompt; never on the command "
        "line)",
        "从该环境变量读取密码（否则提示输入；绝不从命令行读取）",
    ),
    "cli.help.timeout": (
        "seconds for each network step (default 10)",
        "每个网络步骤的超时秒数（默认 10）",
    ),
    "cli.help.explain_text": (
        "the error text; - reads standard input",
        "错误文本；- 表示从标准输入读取",
    ),
    "cli.help.last": (
        "explain the last failure of check or send",
        "解释 check 或 send 最近一次失败",
    ),
    "cli.help.explain_host": (
        "the SMTP host the error came from (for provider advice)",
        "产生错误的 SMTP 主机（用于给出服务商相关建议）",
    ),
    "cli.help.explain_user": (
        "the login account (its domain names the provider)",
        "登录账户（由其域名判断服务商）",
    ),
    "cli.help.send_host": (
        "SMTP server (default: BRISVANE_HOST; also BRISVANE_PORT, BRISVANE_MODE, "
        "BRISVANE_USER, and the password from BRISVANE_PASSWORD)",
        "SMTP 服务器（默认取 BRISVANE_HOST；另有 BRISVANE_PORT、BRISVANE_MODE、BRISVANE_USER，"
        "密码取自 BRISVANE_PASSWORD）",
    ),
    "cli.help.to": ("recipient (repeat for more)", "收件人（可重复）"),
    "cli.help.cc": ("Cc recipient (repeat for more)", "抄送（可重复）"),
    "cli.help.bcc": ("Bcc recipient (repeat for more)", "密送（可重复）"),
    "cli.help.subject": (
        "subject (a template string with --template)",
        "主题（使用 --template 时为模板字符串）",
    ),
    "cli.help.body": ("plain-text body", "纯文本正文"),
    "cli.help.body_file": ("plain-text body from a UTF-8 file", "从 UTF-8 文件读取纯文本正文"),
    "cli.help.html_file": ("HTML body from a UTF-8 file", "从 UTF-8 文件读取 HTML 正文"),
    "cli.help.attach": ("attach a file (repeat for more)", "附件文件（可重复）"),
    "cli.help.template": (
        "send the template NAME (.html and .txt) instead of a body",
        "发送模板 NAME（.html 和 .txt），代替正文",
    ),
    "cli.help.image": (
        "an inline image the HTML shows as cid:CID (repeatable)",
        "HTML 中以 cid:CID 显示的内嵌图片（可多次指定）",
    ),
    "cli.help.context": (
        "template context: a JSON object, or a file holding one",
        "模板上下文：JSON 对象，或包含 JSON 对象的文件",
    ),
    "cli.help.template_dir": (
        "your template directory (searched before the built-in templates)",
        "你的模板目录（先于内置模板搜索）",
    ),
    "cli.help.from": (
        "sender address (default: the login account)",
        "发件人地址（默认为登录账户）",
    ),
    "cli.help.from_name": ("sender display name", "发件人显示名称"),
    "cli.help.reply_to": ("Reply-To address", "回复地址（Reply-To）"),
    "cli.help.name": ("template name, without .html/.txt", "模板名称，不含 .html/.txt"),
    "cli.help.locale": (
        "the locale context variable, e.g. zh-CN or en",
        "locale 上下文变量，例如 zh-CN 或 en",
    ),
    "cli.help.preview_subject": ("subject template (default: NAME)", "主题模板（默认为 NAME）"),
    "cli.help.preview_to": ("To address of the .eml", ".eml 的收件人地址"),
    "cli.help.out": ("directory to write into (default: current)", "写入的目录（默认为当前目录）"),
    "cli.help.open": ("open the HTML in the browser", "在浏览器中打开 HTML"),
    "cli.help.dirs": (
        "template directories (default: the current directory)",
        "模板目录（默认为当前目录）",
    ),
    "cli.help.lint_context": (
        "sample context for every template (default: NAME.json beside each template)",
        "所有模板使用的示例上下文（默认取各模板旁的 NAME.json）",
    ),
    "cli.help.builtin": ("also lint the built-in templates", "同时检查内置模板"),
    # bulk (send_many)
    "bulk.rate": (
        "rate must be mails per second (a positive number) or a text such as"
        " '30/min', '5/s' or '100/h', not {value!r}",
        "rate 必须是每秒邮件数（正数）或 '30/min'、'5/s'、'100/h' 这样的文本，而不是 {value!r}",
    ),
    "bulk.count": (
        "{name} must be an integer >= {minimum}, not {value!r}",
        "{name} 必须是大于等于 {minimum} 的整数，而不是 {value!r}",
    ),
    "bulk.abort_ratio": (
        "abort_ratio must be a number from 0 up to (not including) 1, or None, not {value!r}",
        "abort_ratio 必须是 0 到 1（不含 1）之间的数或 None，而不是 {value!r}",
    ),
    "bulk.backoff": (
        "backoff must be a number of seconds >= 0, not {value!r}",
        "backoff 必须是大于等于 0 的秒数，而不是 {value!r}",
    ),
    "bulk.progress": (
        "progress must be a callable or None, not {type}",
        "progress 必须是可调用对象或 None，而不是 {type}",
    ),
    "bulk.row": (
        "each row must be a dict of send() or send_template() arguments, not {type}",
        "每一行必须是 send() 或 send_template() 参数组成的 dict，而不是 {type}",
    ),
    "bulk.key": (
        "a row's key must be a non-empty str or an int, not {value!r}",
        "行的 key 必须是非空 str 或 int，而不是 {value!r}",
    ),
    "bulk.unsubscribe_type": (
        "list_unsubscribe must be a URL or mailto: text, or a list of them, not {type}",
        "list_unsubscribe 必须是 URL 或 mailto: 文本，或它们组成的列表，而不是 {type}",
    ),
    "bulk.unsubscribe_break": (
        "list_unsubscribe may not contain CR, LF or NUL characters: {value!r}",
        "list_unsubscribe 不能包含 CR、LF 或 NUL 字符：{value!r}",
    ),
    "bulk.unsubscribe_uri": (
        "list_unsubscribe takes https:, http: or mailto: addresses without blanks,"
        " '<', '>' or ',': {value!r}",
        "list_unsubscribe 只接受不含空白、'<'、'>' 或 ',' 的"
        " https:、http: 或 mailto: 地址：{value!r}",
    ),
    "bulk.unsubscribe_long": (
        "list_unsubscribe is longer than a header line may be ({limit} characters)",
        "list_unsubscribe 超过了一行邮件头的长度上限（{limit} 个字符）",
    ),
    "bulk.not_composed": (
        "the mail was not composed: another delivery took it (one installed on the"
        " mailer's class?)",
        "邮件未能生成：它被另一个投递方式接管了（是否在邮件类上安装了投递？）",
    ),
    "bulk.class_delivery": (
        "send_many delivers over its own connections: remove the delivery installed on"
        " the mailer's class (a capture of every mailer) first",
        "send_many 使用自己的连接投递：请先移除安装在邮件类上的投递（例如对所有实例的 capture）",
    ),
    "bulk.journal_open": (
        "cannot use {path} as a journal: {error}",
        "无法将 {path} 用作日志文件：{error}",
    ),
    "bulk.journal_version": (
        "{path} is not a journal of this version of brisvane",
        "{path} 不是本版本 brisvane 的日志文件",
    ),
    "bulk.journal_busy": (
        "the journal {path} is in use (by another run, or a program reading it)",
        "日志文件 {path} 正在被使用（另一个运行，或正在读取它的程序）",
    ),
    # send-many
    "cli.help.send_many": (
        "send a templated mail to each row of a CSV or JSON Lines file",
        "按 CSV 或 JSON Lines 文件的每一行发送一封模板邮件",
    ),
    "cli.help.rows": (
        "the rows: FILE.csv (a header line) or FILE.jsonl; a 'to' column is required,"
        " the others become the template's context",
        "收件行：FILE.csv（含表头）或 FILE.jsonl；必须有 'to' 列，其余列作为模板上下文",
    ),
    "cli.help.many_subject": (
        "the subject, a template of the row's columns (default: the 'subject' column)",
        "主题，可使用行中各列的模板（默认取 'subject' 列）",
    ),
    "cli.help.journal": (
        "keep each mail's state in FILE, so that a run stopped or killed can be started"
        " again without sending anything twice",
        "在 FILE 中记录每封邮件的状态，中断或被杀死的运行可以重新开始而不会重复发送",
    ),
    "cli.help.connections": (
        "connections used at once (default: 1; capped by the provider's limit)",
        "同时使用的连接数（默认 1；不超过服务商的限制）",
    ),
    "cli.help.rate": (
        "at most this many mails for all connections together: 30/min, 5/s",
        "所有连接合计的发送速率上限：30/min、5/s",
    ),
    "cli.help.report": (
        "write one line per row (state, the server's answer) to this CSV file",
        "把每行的结果（状态、服务器应答）写入此 CSV 文件",
    ),
    "cli.help.dry_run": (
        "render and check every row (addresses, missing variables) without connecting",
        "不连接服务器，只渲染并检查每一行（地址、缺失的变量）",
    ),
    "cli.many.no_rows": ("no such file of rows: {path}", "收件行文件不存在：{path}"),
    "cli.many.no_to": ("no 'to' address", "没有 'to' 地址"),
    "cli.many.bad_address": ("not an address: {address!r}", "不是有效地址：{address!r}"),
    "cli.many.missing": (
        "the template uses {name!r}, which the row does not give",
        "模板使用了 {name!r}，但该行没有提供",
    ),
    "cli.many.problem": ("row {row}: {finding}", "第 {row} 行：{finding}"),
    "cli.many.dry_run": (
        "{rows} rows checked, {problems} problem(s); nothing was sent",
        "已检查 {rows} 行，发现 {problems} 个问题；没有发送任何邮件",
    ),
    "cli.many.progress": ("  {done}/{total} done", "  已完成 {done}/{total}"),
    "cli.many.summary": (
        "sent {sent}, refused {refused}, failed {failed}, unknown {unknown}, pending {pending}"
        " in {seconds:.1f} s ({rate:.1f} mails/s)",
        "已发送 {sent}，被拒 {refused}，失败 {failed}，未知 {unknown}，待发 {pending}，"
        "用时 {seconds:.1f} 秒（每秒 {rate:.1f} 封）",
    ),
    "cli.many.resumed": (
        "{count} row(s) were done by an earlier run and not sent again",
        "{count} 行已在之前的运行中完成，未重复发送",
    ),
    "cli.many.interrupted": (
        "interrupted: the mails in flight were finished, the rest is pending;"
        " run the same command again (journal {journal}) to go on",
        "已中断：正在发送的邮件已完成，其余为待发；再次运行相同命令（日志 {journal}）即可继续",
    ),
    "cli.many.stopped": (
        "stopped at once; the journal ({journal}) is right: run the same command again to go on",
        "已立即停止；日志（{journal}）仍然正确：再次运行相同命令即可继续",
    ),
    "cli.many.aborted": (
        "stopped: too many mails were refused for good (abort ratio); the rest is pending",
        "已停止：永久失败的邮件过多（abort ratio）；其余为待发",
    ),
    "cli.many.unknown": (
        "{count} mail(s) are unknown: the data was sent but the answer never came; they may"
        " have arrived, and are sent again only with resend_unknown",
        "{count} 封邮件状态未知：数据已发送但没有收到应答；它们可能已送达，"
        "只有设置 resend_unknown 时才会重发",
    ),
    "cli.many.report": ("report written to {path}", "报告已写入 {path}"),
    # session
    "session.reply_too_long": (
        "the server's reply was too long (more than {lines} lines or {kib} KiB);"
        " the connection was closed",
        "服务器的应答过长（超过 {lines} 行或 {kib} KiB），连接已关闭",
    ),
}

LANGUAGES = ("en", "zh")


def language(preferred: str | None = None) -> str:
    """``"zh"`` or ``"en"``: `preferred` when given, else from the environment."""
    for value in (
        preferred,
        os.environ.get("BRISVANE_LANG"),
        os.environ.get("LC_ALL"),
        os.environ.get("LC_MESSAGES"),
        os.environ.get("LANG"),
    ):
        if value:
            return "zh" if value.lower().replace("_", "-").startswith("zh") else "en"
    return "en"


def text(key: str, lang: str | None = None, /, **fields: object) -> str:
    """The text `key` in `lang` (see :func:`language`), its fields filled in."""
    english, chinese = MESSAGES[key]
    template = chinese if language(lang) == "zh" else english
    return template.format(**fields)
