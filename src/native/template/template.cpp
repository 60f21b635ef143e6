// brisvane.template: TemplateEngine, a thin layer over a Jinja2 Environment
// whose loader searches the added directories (last added first), the
// caller's directory and the package's built-in templates directory.
#include "pyglue/pyglue.hpp"

namespace {

using namespace pyglue;
namespace py = pybind11;

const Name Environment{"Environment"};
const Name FileSystemLoader{"FileSystemLoader"};
const Name TemplateNotFound{"TemplateNotFound"};
const Name DEFAULT_TEMPLATE_DIR{"_DEFAULT_TEMPLATE_DIR"};
const Name jinja2{"jinja2"};                       // pinned at load
const Name builtins_module{"brisvane._builtins"};  // pinned at load
const Name required_check{"brisvane_required"};

// Render `template` with a shallow copy of `context` as keyword arguments, and
// accept only text (or None) as the result.
py::object render_with(py::handle template_, py::handle context) {
    py::object render = template_.attr("render");
    py::object result = call_with_keyword_dict(render, py::reinterpret_borrow<py::dict>(context));
    if (!PyUnicode_CheckExact(result.ptr()) && !result.is_none())
        raise_format(PyExc_TypeError, "Expected %s, got %.200U", "str",
                     type_name(Py_TYPE(result.ptr())).ptr());
    return result;
}

// HTML escaping for every template but plain-text ones (".txt"), and for
// inline strings.
py::object escaping(const Scope& scope) {
    py::object select = scope.pinned(jinja2).attr("select_autoescape");
    return select(py::arg("enabled_extensions") = py::tuple(),
                  py::arg("disabled_extensions") = py::make_tuple("txt"),
                  py::arg("default_for_string") = true, py::arg("default") = true);
}

constexpr Param init_params[] = {{"self", nullptr},
                                 {"template_dir", "Optional[str]", Default::none}};

py::object init(Args<init_params>& args) {
    PYGLUE_ARGUMENTS(args, self, template_dir);
    py::list search_paths;
    if (template_dir.ptr() != Py_None && truth(template_dir)) search_paths.append(template_dir);
    search_paths.append(py::str(args.global(DEFAULT_TEMPLATE_DIR)));
    py::object environment = args.global(Environment);
    py::object loader = args.global(FileSystemLoader)(search_paths);
    py::object env =
        environment(py::arg("loader") = loader, py::arg("autoescape") = escaping(args.scope()));
    // The check each built-in template makes before it renders anything.  An
    // environment of the caller's own that has no globals renders them
    // unchecked.
    if (PyObject_HasAttrString(env.ptr(), "globals") == 1)
        env.attr("globals")[required_check] = args.pinned(builtins_module).attr(required_check);
    self.attr("_env") = env;
    return py::none();
}

constexpr Param render_params[] = {
    {"self", nullptr}, {"template_name", "str"}, {"context", "dict"}};

py::object render(Args<render_params>& args) {
    PYGLUE_ARGUMENTS(args, self, template_name, context);
    try {
        py::object template_ = self.attr("_env").attr("get_template")(template_name);
        return render_with(template_, context);
    } catch (py::error_already_set& error) {
        {
            HandlingScope handling(error);
            if (!error.matches(args.global(TemplateNotFound))) throw;
        }
        return py::none();
    }
}

constexpr Param render_string_params[] = {
    {"self", nullptr}, {"template_string", "str"}, {"context", "dict"}};

py::object render_string(Args<render_string_params>& args) {
    PYGLUE_ARGUMENTS(args, self, template_string, context);
    py::object template_ = self.attr("_env").attr("from_string")(template_string);
    return render_with(template_, context);
}

constexpr Param add_dir_params[] = {{"self", nullptr}, {"directory", "str"}};

py::object add_template_dir(Args<add_dir_params>& args) {
    PYGLUE_ARGUMENTS(args, self, directory);
    self.attr("_env").attr("loader").attr("searchpath").attr("insert")(0, directory);
    return py::none();
}

constexpr Param env_params[] = {{"self", nullptr}};

py::object env(Args<env_params>& args) {
    PYGLUE_ARGUMENTS(args, self);
    return self.attr("_env");
}

constexpr Operation init_operation =
    operation<init_params, init>("__init__", Kind::method, nullptr, nullptr);
constexpr Operation render_operation = operation<render_params, render>(
    "render", Kind::method,
    "\n        Render a template by name.\n\n"
    "        Returns the rendered string, or None if the template does not exist.\n        ",
    "Optional[str]");
constexpr Operation render_string_operation = operation<render_string_params, render_string>(
    "render_string", Kind::method,
    "\n        Render an inline Jinja2 string with the given context.\n        ", "str");
constexpr Operation add_template_dir_operation = operation<add_dir_params, add_template_dir>(
    "add_template_dir", Kind::method,
    "Add an additional template search directory (prepended for priority).", "None");
constexpr Operation env_operation = operation<env_params, env>(
    "env", Kind::property, "Access the underlying Jinja2 Environment for advanced usage.",
    "Environment");

constexpr const Operation* class_operations[] = {&init_operation, &render_operation,
                                                 &render_string_operation,
                                                 &add_template_dir_operation, &env_operation};

const char class_doc[] =
    "\n    Jinja2-based template renderer.\n\n"
    "    Templates are looked up in the following order:\n"
    "    1. User-provided template directory (if given).\n"
    "    2. Built-in templates directory (brisvane/templates).\n    ";

void populate(Loader& loader) {
    loader.from_import("pathlib", {"Path"});
    loader.from_import("typing", {"Optional"});
    loader.from_import("jinja2", {"Environment", "FileSystemLoader", "TemplateNotFound"});
    loader.pin_module("jinja2");
    loader.pin_module("brisvane._builtins");
    py::object here = loader.global("Path")(loader.global("__file__")).attr("parent");
    loader.bind("_DEFAULT_TEMPLATE_DIR", here / py::str("templates"));
    loader.bind("TemplateEngine", loader.make_class("TemplateEngine", class_doc, class_operations));
}

}  // namespace

PyMODINIT_FUNC PyInit_template() {
    return pyglue::init_module("template", populate);
}
