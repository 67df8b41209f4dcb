// The module `vadrel_guardrail.config_loader`: reads a YAML file of the package's data directory
// (`config/` beside the module) by its relative name.
#include "pyhost/classes.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/frame.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {
namespace {

pyhost::Global this_module;  // its `logger` and `__file__` are read at each call
pyhost::Global path_join;
pyhost::Global path_dirname;
pyhost::Global open_fn;
pyhost::Global safe_load;
pyhost::Global yaml_error;

// Parse with PyYAML and close the file whatever happens, as a `with` block would.
nb::object parse_file(nb::handle path) {
    return pyhost::read_and_close(open_fn(path, "r", nb::arg("encoding") = "utf-8"),
                                  [](nb::handle file) { return safe_load(file); });
}

nb::object load_yaml_config(nb::handle config_file_name) {
    // Outside the guarded region: a name that cannot be joined fails here, unlogged.
    nb::object package_dir = path_dirname(this_module.attr("__file__"));
    nb::object path = path_join(package_dir, "config", config_file_name);
    try {
        return parse_file(path);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileNotFoundError)) {
            nb::str message = nb::str("Configuration file not found at {}").format(path);
            this_module.attr("logger").attr("error")(message);
            pyhost::raise_from(e.value(), PyExc_FileNotFoundError, "%U", message.ptr());
        }
        if (e.matches(yaml_error.get())) {
            nb::str message = nb::str("Error parsing configuration YAML: {}").format(nb::handle(e.value()));
            this_module.attr("logger").attr("error")(message);
            pyhost::raise_from(e.value(), yaml_error.get(), "%U", message.ptr());
        }
        throw;
    }
}

}  // namespace

void init_config_loader(nb::module_ m) {
    this_module.set(m);
    nb::module_ os_path = nb::module_::import_("os.path");
    path_join.set(os_path.attr("join"));
    path_dirname.set(os_path.attr("dirname"));
    open_fn.set(nb::module_::import_("builtins").attr("open"));
    nb::module_ yaml = nb::module_::import_("yaml");
    safe_load.set(yaml.attr("safe_load"));
    yaml_error.set(yaml.attr("YAMLError"));

    nb::object manager = pyhost::import_from("vadrel_core.utils", "LoggerManager")();
    m.attr("manager") = manager;
    m.attr("logger") = manager.attr("get_logger")(m.attr("__name__"));

    m.def("load_yaml_config", &load_yaml_config, nb::arg("config_file_name").none(),
          "Load the YAML file `config_file_name`, relative to the package's `config` data directory, and return "
          "the parsed document (a mapping, a list, a scalar, or None for an empty file).\n\n"
          "A missing file is logged and raised as FileNotFoundError, invalid YAML as yaml.YAMLError, each caused "
          "by the original error; any other error passes unchanged.");
}

}  // namespace vadrel_guardrail
