// The module frame: one extension module presents a dotted package tree, each module found through a
// finder on sys.meta_path, with the file and data directory where it says it lives.
#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"

#include "pyhost/signatures.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

namespace pyhost {
namespace fs = std::filesystem;

namespace {

struct Entry {
    const ModuleDef *def;
    fs::path file;                 // reported `__file__`
    std::optional<fs::path> home;  // `__path__` entry of a package
};

// Where each module of the tree says it lives: `<dir of the extension>/<root>/...`.
Entry locate(const ModuleDef &def, const fs::path &root_dir) {
    std::string_view name = def.name;
    fs::path dir = root_dir;
    std::string_view rest;
    if (auto dot = name.find('.'); dot != std::string_view::npos) {
        rest = name.substr(dot + 1);
    }
    std::string_view leaf = rest;
    for (auto dot = leaf.find('.'); dot != std::string_view::npos; dot = leaf.find('.')) {
        dir /= std::string(leaf.substr(0, dot));
        leaf = leaf.substr(dot + 1);
    }
    if (def.package) {
        fs::path home = rest.empty() ? dir : dir / std::string(leaf);
        return {&def, home / "__init__.py", home};
    }
    return {&def, dir / (std::string(leaf) + ".py"), std::nullopt};
}

nb::list path_list(const fs::path &p) {
    nb::list out;
    out.append(nb::str(p.string().c_str()));
    return out;
}

}  // namespace

nb::object import_from(const char *module, const char *name) {
    return nb::module_::import_(module).attr(name);
}

void reexport(nb::module_ target, const char *module, std::initializer_list<const char *> names) {
    nb::module_ source = nb::module_::import_(module);
    for (const char *name : names) {
        target.attr(name) = source.attr(name);
    }
}

void set_all(nb::module_ target, std::initializer_list<const char *> names) {
    nb::list all;
    for (const char *name : names) {
        all.append(nb::str(name));
    }
    target.attr("__all__") = all;
}

void install_package(nb::module_ root, std::span<const ModuleDef> modules) {
    install_error_translation();
    const ModuleDef &root_def = modules.front();
    fs::path origin = nb::cast<std::string>(root.attr("__spec__").attr("origin"));
    fs::path root_dir = origin.parent_path() / root_def.name;

    // Lives as long as the finder closures that capture it, that is, the process.
    auto *entries = new std::unordered_map<std::string, Entry>();
    for (const ModuleDef &def : modules.subspan(1)) {
        entries->emplace(def.name, locate(def, root_dir));
    }

    root.attr("__doc__") = nb::str(root_def.doc);
    root.attr("__file__") = nb::str((root_dir / "__init__.py").string().c_str());
    root.attr("__path__") = path_list(root_dir);
    root.attr("__spec__").attr("submodule_search_locations") = path_list(root_dir);

    nb::object machinery = nb::module_::import_("importlib.machinery");
    nb::object pathlib_path = import_from("pathlib", "Path");
    nb::object loader = import_from("types", "SimpleNamespace")();

    loader.attr("create_module") = nb::cpp_function([](nb::handle) { return nb::none(); });
    loader.attr("exec_module") = nb::cpp_function([entries](nb::module_ module) {
        const Entry &entry = entries->at(nb::cast<std::string>(module.attr("__name__")));
        module.attr("__doc__") = nb::str(entry.def->doc);
        if (entry.def->init) {
            entry.def->init(module);
        }
        sign_functions(module);
    });
    // Packaged data is read through importlib.resources: a package's files are its directory.
    loader.attr("get_resource_reader") = nb::cpp_function([entries, pathlib_path](std::string name) {
        const Entry &entry = entries->at(name);
        nb::object reader = import_from("types", "SimpleNamespace")();
        nb::object dir = pathlib_path(nb::str(entry.home.value_or(entry.file.parent_path()).string().c_str()));
        reader.attr("files") = nb::cpp_function([dir]() { return dir; });
        return reader;
    });

    nb::object finder = import_from("types", "SimpleNamespace")();
    finder.attr("find_spec") = nb::cpp_function(
        [entries, loader, machinery](std::string fullname, nb::args) -> nb::object {
            auto found = entries->find(fullname);
            if (found == entries->end()) {
                return nb::none();
            }
            const Entry &entry = found->second;
            nb::object spec = machinery.attr("ModuleSpec")(
                fullname, loader, nb::arg("origin") = entry.file.string(),
                nb::arg("is_package") = entry.def->package);
            spec.attr("has_location") = true;
            if (entry.home) {
                spec.attr("submodule_search_locations") = path_list(*entry.home);
            }
            return spec;
        });
    nb::module_::import_("sys").attr("meta_path").attr("insert")(0, finder);

    if (root_def.init) {
        root_def.init(root);
    }
    sign_functions(root);
}

}  // namespace pyhost
