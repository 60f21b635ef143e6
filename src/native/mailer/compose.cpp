// Message composition: the MIME tree and headers of one mail, and the
// envelope recipient list.
#include "mailer/operations.hpp"

namespace mailer {

py::object build_message(Call&) {
    raise(PyExc_NotImplementedError, "_build_message");
}
py::object collect_recipients(Call&) {
    raise(PyExc_NotImplementedError, "_collect_recipients");
}

}  // namespace mailer
