// Class builders: real Python classes (pydantic models, text enums, exceptions, Protocols, plain
// classes) created through Python's own class machinery, as a class statement would, with C++ bodies.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "pyasync/pyasync.hpp"

namespace pyhost {
namespace nb = nanobind;

// `f`, as a binding whose coroutine or async generator carries `name` and `qualname` as a Python
// method's would (static storage: literals).
template <class R, class... A>
auto named(R (*f)(A...), const char *name, const char *qualname) {
    return [f, name, qualname](A... args) -> R { return f(std::forward<A>(args)...).named(name, qualname); };
}

namespace detail {

// Coroutine and async-generator objects that an operation makes carry its name and qualified
// name, as those of a Python method do. Applies to operations given as plain function pointers.
template <class T> struct bridge_function : std::false_type {};
template <class R, class... A>
struct bridge_function<R (*)(A...)>
    : std::bool_constant<std::is_same_v<R, pyasync::Task> || std::is_same_v<R, pyasync::VoidTask> ||
                         std::is_same_v<R, pyasync::AsyncGen>> {};

template <class F>
decltype(auto) operation(F &&f, const char *name, const char *qualname) {
    if constexpr (bridge_function<std::decay_t<F>>::value) {
        return pyhost::named(f, name, qualname);
    } else {
        return std::forward<F>(f);
    }
}

// "Class.name", kept for the life of the process.
const char *qualified(const std::string &cls, const char *name);

}  // namespace detail

template <typename T> struct is_nb_arg : std::false_type {};
template <uint32_t F, bool L> struct is_nb_arg<nb::arg_t<F, L>> : std::true_type {};
template <uint32_t F, bool L> struct is_nb_arg<nb::arg_v_t<F, L>> : std::true_type {};

// `t | None`.
nb::object optional(nb::handle t);

// A process-lifetime reference: module-level classes and constants that C++ code reads after load.
// Never released, so no destructor runs after the interpreter has gone.
class Global {
public:
    Global() = default;
    void set(nb::handle h) { h_ = h.inc_ref(); }
    nb::handle get() const { return h_; }
    explicit operator bool() const { return h_.is_valid(); }
    template <typename... Args>
    nb::object operator()(Args &&...args) const { return h_(std::forward<Args>(args)...); }
    nb::object attr(const char *name) const { return nb::getattr(h_, name); }

private:
    nb::handle h_;
};

// Operations take nanobind signatures: a parameter that may be None needs `nb::arg(...).none()`
// or a None default, since nanobind refuses None for object parameters otherwise. A public operation's
// calls are bound by the signature its stubs declare (see signatures.hpp), which hands the nanobind
// function every value, the stubs' defaults included: there its parameters follow the stubs' order and
// carry no default of their own (the stubs hold the only one).
class ClassBuilder {
public:
    // A class in `module` (whose `__name__` becomes the class's `__module__`).
    ClassBuilder(nb::handle module, const char *name, const char *doc);

    // A pydantic `BaseModel` subclass (give `model_config` through `attr`).
    static ClassBuilder model(nb::handle module, const char *name, const char *doc);

    ClassBuilder &base(nb::handle b);

    // Annotated class attribute: a pydantic field, or a plain annotation when `value` is unset.
    ClassBuilder &field(const char *name, nb::handle type, const char *description);  // required
    ClassBuilder &field(const char *name, nb::handle type, nb::handle default_value, const char *description);
    ClassBuilder &annotate(const char *name, nb::handle type);
    ClassBuilder &attr(const char *name, nb::handle value);

    // Operations. A plain function returning pyasync::Task/VoidTask/AsyncGen makes coroutines or
    // async generators named after the operation ("name", "Class.name").
    template <typename F, typename... Extra>
    ClassBuilder &method(const char *name, F &&f, const Extra &...extra) {
        return put(name, sign(name, nb::cpp_function(detail::operation(std::forward<F>(f), name, qualified(name)),
                                                     nb::is_method(), nb::name(name), extra...)));
    }
    template <typename F, typename... Extra>
    ClassBuilder &classmethod(const char *name, F &&f, const Extra &...extra) {
        auto body = detail::operation(std::forward<F>(f), name, qualified(name));
        // The C++ body takes the class first; when other parameters are named, so is it.
        if constexpr ((is_nb_arg<Extra>::value || ...)) {
            return put(name, wrap("classmethod", sign(name, nb::cpp_function(std::move(body), nb::name(name),
                                                                             nb::arg("cls"), extra...))));
        } else {
            return put(name,
                       wrap("classmethod", sign(name, nb::cpp_function(std::move(body), nb::name(name), extra...))));
        }
    }
    template <typename F, typename... Extra>
    ClassBuilder &staticmethod(const char *name, F &&f, const Extra &...extra) {
        return put(name, wrap("staticmethod", sign(name, nb::cpp_function(detail::operation(std::forward<F>(f), name,
                                                                                            qualified(name)),
                                                                          nb::name(name), extra...))));
    }
    template <typename F>
    ClassBuilder &property(const char *name, F &&getter, const char *doc = nullptr) {
        nb::object fget = nb::cpp_function(std::forward<F>(getter), nb::is_method(), nb::name(name));
        if (doc) {
            return put(name, wrap("property", fget, nb::none(), nb::none(), nb::str(doc)));
        }
        return put(name, wrap("property", fget));
    }

    // Runs the class statement; the new class is also bound in the module under its name.
    nb::object build();

private:
    const char *qualified(const char *name) const { return detail::qualified(name_, name); }
    // The public operations of a public class carry their signatures (see signatures.hpp); internal
    // classes and operations, which serve the hot paths, are left as nanobind made them.
    nb::object sign(const char *name, nb::object f) const;
    ClassBuilder &put(const char *name, nb::object value);
    static nb::object wrap(const char *builtin, nb::handle f, nb::handle a = {}, nb::handle b = {},
                           nb::handle c = {});

    nb::handle module_;
    std::string name_;
    nb::list bases_;
    nb::dict ns_;
    nb::dict annotations_;
    // pydantic refuses unannotated non-function attributes at class creation, and C++ callables
    // are not functions to it, so a model's operations are set once the class exists.
    bool late_operations_ = false;
    std::vector<std::pair<std::string, nb::object>> operations_;
};

// Makes instances of one pydantic model class from values already known to be valid, as `model_construct`
// does (`cls.__new__(cls)`, then `__dict__` and the model's three documented attributes set through
// `object.__setattr__`) but without its Python-level work. Only for classes without private attributes.
class TrustedModel {
public:
    TrustedModel() = default;
    // `fields`: every field of `cls`, in declaration order.
    void init(nb::handle cls, std::initializer_list<const char *> fields);
    // The set of names passed explicitly, for `make`'s `fields_set` (kept by the caller): interned names.
    nb::object names(std::initializer_list<const char *> given) const;
    // The values an instance starts from, one per field in the order given to `init`, for `make`.
    nb::object layout(std::initializer_list<nb::handle> values) const;
    // `values`: one per field, in the order given to `init`; over `layout` (by default every field None), a
    // null handle keeps the layout's value. The instance gets a copy of `fields_set`.
    nb::object make(std::initializer_list<nb::handle> values, nb::handle fields_set, nb::handle layout = {}) const;

private:
    Global cls_;
    Global template_;  // {field: None}, copied for each instance
    std::vector<PyObject *> keys_;  // interned field names, never released
    // What `object.__setattr__` finds on the class under the three attributes it sets: BaseModel's slot
    // descriptors, set through their `__set__`.
    Global fields_set_, extra_, private_;
};

// `class Name(TypedDict, total=False)` of `field: type | None` fields, bound in `module`: the keywords a stub
// spells with `**kwargs: Unpack[Name]`, for those annotations to resolve at run time.
nb::object keywords_type(nb::handle module, const char *name,
                         std::initializer_list<std::pair<const char *, nb::handle>> fields);

// `class Name(StrEnum)` with members in order, documented, bound in `module`.
nb::object make_str_enum(nb::handle module, const char *name, const char *doc,
                         std::initializer_list<std::pair<const char *, const char *>> members);

}  // namespace pyhost
