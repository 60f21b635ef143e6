// The public send operations.
#include "mailer/operations.hpp"

namespace mailer {

py::object send(Call&) {
    raise(PyExc_NotImplementedError, "send");
}
py::object send_template(Call&) {
    raise(PyExc_NotImplementedError, "send_template");
}

}  // namespace mailer
