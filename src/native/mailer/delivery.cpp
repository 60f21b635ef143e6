// SMTP delivery: one connection per message, secured as configured.
#include "mailer/operations.hpp"

namespace mailer {

py::object do_send(Call&) {
    raise(PyExc_NotImplementedError, "_do_send");
}

}  // namespace mailer
