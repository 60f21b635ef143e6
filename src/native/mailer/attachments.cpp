// Attachments: one base64 MIME part per file path or in-memory item.
#include "mailer/operations.hpp"

namespace mailer {

py::object attach_file(Call&) {
    raise(PyExc_NotImplementedError, "_attach_file");
}
py::object attach_binary(Call&) {
    raise(PyExc_NotImplementedError, "_attach_binary");
}

}  // namespace mailer
