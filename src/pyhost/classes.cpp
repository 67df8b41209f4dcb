// The class builders: Python classes (pydantic models, text enums, exceptions, Protocols, plain classes)
// made as a class statement would make them, with C++ bodies for their operations.
#include "pyhost/classes.hpp"

#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"
#include "pyhost/signatures.hpp"

#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pyhost {

const char *detail::qualified(const std::string &cls, const char *name) {
    static std::deque<std::string> names;  // stable addresses
    return names.emplace_back(cls + "." + name).c_str();
}

nb::object optional(nb::handle t) {
    return owned(PyNumber_Or(t.ptr(), Py_None));
}

nb::object keywords_type(nb::handle module, const char *name,
                         std::initializer_list<std::pair<const char *, nb::handle>> fields) {
    nb::dict annotations;
    for (const auto &[field, type] : fields) annotations[field] = optional(type);
    nb::object made = import_from("typing", "TypedDict")(name, annotations, nb::arg("total") = false);
    made.attr("__module__") = module.attr("__name__");
    module.attr(name) = made;
    return made;
}

ClassBuilder::ClassBuilder(nb::handle module, const char *name, const char *doc)
    : module_(module), name_(name) {
    ns_["__module__"] = module.attr("__name__");
    ns_["__qualname__"] = nb::str(name);
    if (doc) {
        ns_["__doc__"] = nb::str(doc);
    }
}

ClassBuilder ClassBuilder::model(nb::handle module, const char *name, const char *doc) {
    ClassBuilder b(module, name, doc);
    b.base(import_from("pydantic", "BaseModel"));
    b.late_operations_ = true;
    return b;
}

ClassBuilder &ClassBuilder::base(nb::handle b) {
    bases_.append(b);
    return *this;
}

ClassBuilder &ClassBuilder::field(const char *name, nb::handle type, const char *description) {
    static Global field_fn;
    if (!field_fn) field_fn.set(import_from("pydantic", "Field"));
    annotations_[name] = type;
    ns_[name] = field_fn(nb::arg("description") = description);
    return *this;
}

ClassBuilder &ClassBuilder::field(const char *name, nb::handle type, nb::handle default_value,
                                  const char *description) {
    static Global field_fn;
    if (!field_fn) field_fn.set(import_from("pydantic", "Field"));
    annotations_[name] = type;
    ns_[name] = field_fn(nb::arg("default") = default_value, nb::arg("description") = description);
    return *this;
}

ClassBuilder &ClassBuilder::annotate(const char *name, nb::handle type) {
    annotations_[name] = type;
    return *this;
}

ClassBuilder &ClassBuilder::attr(const char *name, nb::handle value) {
    ns_[name] = value;
    return *this;
}

nb::object ClassBuilder::sign(const char *name, nb::object f) const {
    std::string_view operation = name;
    bool internal = name_.starts_with('_') || (operation.starts_with('_') && !operation.starts_with("__"));
    return internal ? f : signed_function(f, module_.attr("__name__"), nb::str(qualified(name)));
}

ClassBuilder &ClassBuilder::put(const char *name, nb::object value) {
    if (late_operations_) {
        operations_.emplace_back(name, std::move(value));
    } else {
        ns_[name] = value;
    }
    return *this;
}

nb::object ClassBuilder::wrap(const char *builtin, nb::handle f, nb::handle a, nb::handle b, nb::handle c) {
    nb::object kind = nb::module_::import_("builtins").attr(builtin);
    if (c.is_valid()) {
        return kind(f, a, b, c);
    }
    return kind(f);
}

nb::object ClassBuilder::build() {
    if (nb::len(annotations_) > 0) {
        ns_["__annotations__"] = annotations_;
    }
    nb::tuple bases = nb::tuple(bases_);
    // types.prepare_class picks the metaclass exactly as a class statement does.
    nb::object types = nb::module_::import_("types");
    nb::tuple prepared = nb::borrow<nb::tuple>(types.attr("prepare_class")(name_, bases));
    nb::object meta = prepared[0];
    nb::object ns = prepared[1];
    ns.attr("update")(ns_);
    nb::object cls = meta(nb::str(name_.c_str()), bases, ns);
    for (auto &[name, value] : operations_) {
        nb::setattr(cls, name.c_str(), value);
    }
    nb::setattr(module_, name_.c_str(), cls);
    return cls;
}

namespace {

// The data descriptor that `object.__setattr__(instance, name, value)` would find on `cls` and set through.
nb::object data_descriptor(nb::handle cls, const char *name) {
    nb::object found = nb::getattr(cls, name);
    if (!Py_TYPE(found.ptr())->tp_descr_set) raise(PyExc_TypeError, "%s is no data descriptor", name);
    return found;
}

void set_through(const Global &descriptor, PyObject *self, PyObject *value) {
    status(Py_TYPE(descriptor.get().ptr())->tp_descr_set(descriptor.get().ptr(), self, value));
}

}  // namespace

void TrustedModel::init(nb::handle cls, std::initializer_list<const char *> fields) {
    cls_.set(cls);
    // Read on the class, a slot descriptor answers itself.
    fields_set_.set(data_descriptor(cls, "__pydantic_fields_set__"));
    extra_.set(data_descriptor(cls, "__pydantic_extra__"));
    private_.set(data_descriptor(cls, "__pydantic_private__"));
    nb::dict blank;
    for (const char *field : fields) {
        PyObject *key = PyUnicode_InternFromString(field);
        if (!key) throw nb::python_error();
        keys_.push_back(key);
        blank[key] = nb::none();
    }
    template_.set(blank);
}

nb::object TrustedModel::names(std::initializer_list<const char *> given) const {
    nb::object set = owned(PySet_New(nullptr));
    for (const char *name : given) {
        status(PySet_Add(set.ptr(), owned(PyUnicode_InternFromString(name)).ptr()));
    }
    return set;
}

nb::object TrustedModel::layout(std::initializer_list<nb::handle> values) const {
    nb::object dict = owned(PyDict_Copy(template_.get().ptr()));
    auto key = keys_.begin();
    for (nb::handle value : values) {
        status(PyDict_SetItem(dict.ptr(), *key++, value.ptr()));
    }
    return dict;
}

nb::object TrustedModel::make(std::initializer_list<nb::handle> values, nb::handle fields_set, nb::handle layout) const {
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls_.get().ptr());
    static PyObject *no_arguments = PyTuple_New(0);
    const bool blank = !layout.is_valid();
    nb::object dict = owned(PyDict_Copy(blank ? template_.get().ptr() : layout.ptr()));
    auto key = keys_.begin();
    for (nb::handle value : values) {
        // What the layout holds already is not set again.
        if (value.is_valid() && !(blank && value.is_none())) status(PyDict_SetItem(dict.ptr(), *key, value.ptr()));
        ++key;
    }
    // `cls.__new__(cls)`, then `object.__setattr__` for each, as `model_construct` does (the model's own
    // `__setattr__` would take these names for fields): for the three slots, what it finds on the class.
    nb::object self = owned(type->tp_new(type, no_arguments, nullptr));
    status(PyObject_GenericSetDict(self.ptr(), dict.ptr(), nullptr));
    set_through(fields_set_, self.ptr(), owned(PySet_New(fields_set.ptr())).ptr());
    set_through(extra_, self.ptr(), Py_None);
    set_through(private_, self.ptr(), Py_None);
    return self;
}

nb::object make_str_enum(nb::handle module, const char *name, const char *doc,
                         std::initializer_list<std::pair<const char *, const char *>> members) {
    nb::list items;
    for (auto [member, value] : members) {
        items.append(nb::make_tuple(member, value));
    }
    nb::object cls = import_from("enum", "StrEnum")(name, items, nb::arg("module") = module.attr("__name__"),
                                                     nb::arg("qualname") = name);
    cls.attr("__doc__") = nb::str(doc);
    nb::setattr(module, name, cls);
    return cls;
}

}  // namespace pyhost
