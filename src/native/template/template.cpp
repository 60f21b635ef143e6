// brisvane.template: TemplateEngine, a thin layer over a Jinja2 Environment
// whose loader searches the added directories (last added first), the
// caller's directory and the package's built-in templates directory.
#include "pyglue/pyglue.hpp"

namespace {

using namespace pyglue;

const Name Environment{"Environment"};
const Name FileSystemLoader{"FileSystemLoader"};
const Name TemplateNotFound{"TemplateNotFound"};
const Name DefaultTemplateDir{"_DEFAULT_TEMPLATE_DIR"};

// Render `template` with a shallow copy of `context` as keyword arguments, and
// accept only text (or None) as the result.
py::object render_with(py::handle template_, py::handle context) {
    py::object render = template_.attr("render");
    py::object copy = checked(PyDict_Copy(context.ptr()));
    py::object result = checked(PyObject_Call(render.ptr(), py::tuple().ptr(), copy.ptr()));
    if (!PyUnicode_CheckExact(result.ptr()) && !result.is_none())
        raise_format(PyExc_TypeError, "Expected %s, got %.200U", "str",
                     type_name(Py_TYPE(result.ptr())).ptr());
    return result;
}

// HTML escaping for every template but plain-text ones (".txt"), and for
// inline strings.
py::object escaping() {
    py::object select = py::module_::import("jinja2").attr("select_autoescape");
    return select(py::arg("enabled_extensions") = py::tuple(),
                  py::arg("disabled_extensions") = py::make_tuple("txt"),
                  py::arg("default_for_string") = true, py::arg("default") = true);
}

py::object init(Call& call) {
    auto [self, template_dir] = call.args<2>();
    py::list search_paths;
    if (template_dir.ptr() != Py_None && truth(template_dir)) search_paths.append(template_dir);
    search_paths.append(py::str(call.global(DefaultTemplateDir)));
    py::object environment = call.global(Environment);
    py::object loader = call.global(FileSystemLoader)(search_paths);
    self.attr("_env") = environment(py::arg("loader") = loader, py::arg("autoescape") = escaping());
    return py::none();
}

py::object render(Call& call) {
    auto [self, template_name, context] = call.args<3>();
    try {
        py::object template_ = self.attr("_env").attr("get_template")(template_name);
        return render_with(template_, context);
    } catch (py::error_already_set& error) {
        {
            HandlingScope handling(error);
            if (!error.matches(call.global(TemplateNotFound))) throw;
        }
        return py::none();
    }
}

py::object render_string(Call& call) {
    auto [self, template_string, context] = call.args<3>();
    py::object template_ = self.attr("_env").attr("from_string")(template_string);
    return render_with(template_, context);
}

py::object add_template_dir(Call& call) {
    auto [self, directory] = call.args<2>();
    self.attr("_env").attr("loader").attr("searchpath").attr("insert")(0, directory);
    return py::none();
}

py::object env(Call& call) {
    auto [self] = call.args<1>();
    return self.attr("_env");
}

const Param init_params[] = {{"self", nullptr}, {"template_dir", "Optional[str]", Default::none}};
const Param render_params[] = {{"self", nullptr}, {"template_name", "str"}, {"context", "dict"}};
const Param render_string_params[] = {
    {"self", nullptr}, {"template_string", "str"}, {"context", "dict"}};
const Param add_dir_params[] = {{"self", nullptr}, {"directory", "str"}};
const Param env_params[] = {{"self", nullptr}};

const Operation operations[] = {
    {"__init__", Kind::method, nullptr, init_params, nullptr, init},
    {"render", Kind::method,
     "\n        Render a template by name.\n\n"
     "        Returns the rendered string, or None if the template does not exist.\n        ",
     render_params, "Optional[str]", render},
    {"render_string", Kind::method,
     "\n        Render an inline Jinja2 string with the given context.\n        ",
     render_string_params, "str", render_string},
    {"add_template_dir", Kind::method,
     "Add an additional template search directory (prepended for priority).", add_dir_params,
     "None", add_template_dir},
    {"env", Kind::property, "Access the underlying Jinja2 Environment for advanced usage.",
     env_params, "Environment", env},
};

const char class_doc[] =
    "\n    Jinja2-based template renderer.\n\n"
    "    Templates are looked up in the following order:\n"
    "    1. User-provided template directory (if given).\n"
    "    2. Built-in templates directory (brisvane/templates).\n    ";

void populate(Loader& loader) {
    loader.from_import("pathlib", {"Path"});
    loader.from_import("typing", {"Optional"});
    loader.from_import("jinja2", {"Environment", "FileSystemLoader", "TemplateNotFound"});
    py::object here = loader.global("Path")(loader.global("__file__")).attr("parent");
    loader.bind("_DEFAULT_TEMPLATE_DIR",
                checked(PyNumber_TrueDivide(here.ptr(), py::str("templates").ptr())));
    loader.bind("TemplateEngine", loader.make_class("TemplateEngine", class_doc, operations));
}

}  // namespace

PyMODINIT_FUNC PyInit_template() {
    return pyglue::init_module("template", populate);
}
