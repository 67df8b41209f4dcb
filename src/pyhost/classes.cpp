// The class builders: Python classes (pydantic models, text enums, exceptions, Protocols, plain classes)
// made as a class statement would make them, with C++ bodies for their operations.
#include "pyhost/classes.hpp"

#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"
#include "pyhost/signatures.hpp"

#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>

#include <structmember.h>

namespace pyhost {

const char *detail::qualified(const std::string &cls, const char *name) {
    static std::deque<std::string> names;  // stable addresses
    return names.emplace_back(cls + "." + name).c_str();
}

nb::object optional(nb::handle t) {
    return owned(PyNumber_Or(t.ptr(), Py_None));
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

// Where BaseModel keeps its three slots: every model class inherits that layout.
struct ModelSlots {
    Py_ssize_t fields_set, extra, private_;
};

const ModelSlots &model_slots() {
    static const ModelSlots slots = [] {
        nb::object base = import_from("pydantic", "BaseModel");
        auto offset = [&](const char *name) {
            nb::object descr = nb::borrow(PyDict_GetItemString(((PyTypeObject *)base.ptr())->tp_dict, name));
            if (!descr.is_valid() || !PyObject_TypeCheck(descr.ptr(), &PyMemberDescr_Type)) {
                raise(PyExc_RuntimeError, "pydantic.BaseModel has no slot %s", name);
            }
            return reinterpret_cast<PyMemberDescrObject *>(descr.ptr())->d_member->offset;
        };
        return ModelSlots{offset("__pydantic_fields_set__"), offset("__pydantic_extra__"),
                          offset("__pydantic_private__")};
    }();
    return slots;
}

void set_slot(PyObject *self, Py_ssize_t offset, PyObject *value) {
    PyObject **slot = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset);
    Py_XSETREF(*slot, Py_NewRef(value));
}

}  // namespace

void TrustedModel::init(nb::handle cls, std::initializer_list<const char *> fields) {
    cls_.set(cls);
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
    const ModelSlots &slots = model_slots();
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls_.get().ptr());
    static PyObject *empty = PyTuple_New(0);
    const bool blank = !layout.is_valid();
    nb::object dict = owned(PyDict_Copy(blank ? template_.get().ptr() : layout.ptr()));
    auto key = keys_.begin();
    for (nb::handle value : values) {
        // What the layout holds already is not set again.
        if (value.is_valid() && !(blank && value.is_none())) status(PyDict_SetItem(dict.ptr(), *key, value.ptr()));
        ++key;
    }
    // `object.__new__` with no arguments, for a class that is not abstract, is the type's allocation alone.
    bool plain = type->tp_new == PyBaseObject_Type.tp_new && !(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT);
    nb::object self = owned(plain ? type->tp_alloc(type, 0) : type->tp_new(type, empty, nullptr));
    nb::object set = owned(PySet_New(fields_set.ptr()));
    // A fresh instance has no dict yet: the new one goes straight into its slot, as setting `__dict__`
    // would put it there.
    PyObject **dict_slot = _PyObject_GetDictPtr(self.ptr());
    if (dict_slot && !*dict_slot) {
        *dict_slot = dict.release().ptr();
    } else {
        status(PyObject_GenericSetDict(self.ptr(), dict.ptr(), nullptr));
    }
    // Straight into the slots: the model's own __setattr__ would treat these names as fields.
    set_slot(self.ptr(), slots.fields_set, set.ptr());
    set_slot(self.ptr(), slots.extra, Py_None);
    set_slot(self.ptr(), slots.private_, Py_None);
    return self;
}

[[gnu::hot]] PyObject *TrustedModel::sole_layout(nb::handle obj) const {
    PyObject *self = obj.ptr();
    PyTypeObject *type = Py_TYPE(self);
    if (Py_REFCNT(self) != 1 || type != reinterpret_cast<PyTypeObject *>(cls_.get().ptr())) return nullptr;
    // No weak reference either (managed or not, the list sits at the type's offset).
    if (type->tp_weaklistoffset != 0 &&
        *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + type->tp_weaklistoffset) != nullptr) {
        return nullptr;
    }
    const ModelSlots &slots = model_slots();
    auto slot = [self](Py_ssize_t offset) {
        return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset);
    };
    if (slot(slots.extra) != Py_None || slot(slots.private_) != Py_None) return nullptr;
    PyObject **dict = _PyObject_GetDictPtr(self);
    if (!dict || !*dict || !PyDict_CheckExact(*dict)) return nullptr;
    return PyDict_GET_SIZE(*dict) == static_cast<Py_ssize_t>(keys_.size()) ? *dict : nullptr;
}

[[gnu::hot]] PyObject *TrustedModel::sole_fields(nb::handle obj, nb::handle fields_set) const {
    PyObject *dict = sole_layout(obj);
    PyObject *set = dict ? TrustedModel::fields_set(obj) : nullptr;
    if (!set || !PySet_CheckExact(set) || PySet_GET_SIZE(set) != PySet_GET_SIZE(fields_set.ptr())) return nullptr;
    int same = PyObject_RichCompareBool(set, fields_set.ptr(), Py_EQ);
    if (same <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    return dict;
}

[[gnu::hot]] PyObject *TrustedModel::fields_set(nb::handle obj) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj.ptr()) + model_slots().fields_set);
}

namespace {

// Whether `set` holds the very names `reference` holds, laid out alike (so none removed since): compared by
// identity, so that no reader's code runs. Sets made alike from one set are laid out alike.
bool same_table(PyObject *set, PyObject *reference) {
    const auto *a = reinterpret_cast<const PySetObject *>(set);
    const auto *b = reinterpret_cast<const PySetObject *>(reference);
    return a->mask == b->mask && a->fill == b->fill && a->used == b->used &&
           std::memcmp(a->table, b->table, static_cast<std::size_t>(a->mask + 1) * sizeof(setentry)) == 0;
}

}  // namespace

bool TrustedModel::make_over(nb::handle obj, std::initializer_list<nb::handle> values, PyObject *names) const {
    constexpr std::size_t kMostFields = 8;
    PyObject *dict = sole_layout(obj);
    if (!dict || Py_REFCNT(dict) != 1 || keys_.size() > kMostFields) return false;
    PyObject *set = fields_set(obj);
    if (!set || Py_REFCNT(set) != 1 || !PySet_CheckExact(set) || !same_table(set, names)) return false;
    PyObject *held[kMostFields];
    Py_ssize_t pos = 0;
    PyObject *key;
    for (std::size_t k = 0; k < keys_.size(); ++k) {
        if (!PyDict_Next(dict, &pos, &key, &held[k]) || key != keys_[k]) return false;  // in `make`'s order
    }
    const PyObject *const *was = held;
    auto field = keys_.begin();
    for (nb::handle wanted : values) {
        if (*was++ != wanted.ptr()) status(PyDict_SetItem(dict, *field, wanted.ptr()));
        ++field;
    }
    return true;
}

[[gnu::hot]] nb::object TrustedModel::remade(Spares &spares, std::initializer_list<nb::handle> values,
                                             nb::handle fields_set) const {
    if (!spares.names.is_valid()) spares.names = owned(PySet_New(fields_set.ptr()));
    for (unsigned k : {spares.newest ^ 1u, spares.newest}) {
        // Out of reach while it is made over: letting its old values go may run code, even another check.
        nb::object spare = std::move(spares.kept[k]);
        if (spare.is_valid() && make_over(spare, values, spares.names.ptr())) {
            if (!spares.kept[k].is_valid()) {
                spares.kept[k] = spare;
                spares.newest = k;
            }
            return spare;
        }
        if (!spares.kept[k].is_valid()) spares.kept[k] = std::move(spare);
    }
    nb::object made = make(values, fields_set);
    spares.newest ^= 1u;
    spares.kept[spares.newest] = made;
    return made;
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
