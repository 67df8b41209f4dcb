// What the native stream pipeline's files share, and nothing outside them includes: the Python view of a
// stream type's fields, the collector's slots, and the one way a step that callers may replace is called.
//
// Words:
//   stage    a callable over a feed that answers each chunk it reads with one safe item, or ends the stream
//            with a terminal marker; strict (a segment) or incremental (an engine's own stream operation).
//   segment  a maximal run of adjacent strict engines that share one strict stage: buffer, check the joined
//            text with each engine in turn, release the chunks or block.
//   runner   the stage runner: feeds its stage, holds every fed chunk as pending until a safe item
//            acknowledges it, applies the stream error policy and closes its input at fixed moments.
//   feed     what a stage reads: the runner's feed over its input, recording what it hands over; and the
//            string feed behind a runner, the text of each of its safe items, which is the next runner's input.
//   level    one stage of the chain with its runner and string feed; past the last level, texts become
//            safe items again.
#pragma once

#include <array>
#include <type_traits>
#include <utility>

#include <nanobind/nanobind.h>

#include "pyasync/pyasync.hpp"
#include "pyhost/classes.hpp"
#include "pyhost/plain_reads.hpp"

namespace vadrel_guardrail::stream {
namespace nb = nanobind;

// A field that may be unset (never set, or cleared by the collector), as Python sees it.
inline nb::object or_none(const nb::object &value) { return value.is_valid() ? value : nb::none(); }

// The getter of an object field of a stream type, for its Python attribute.
template <class T> auto field(nb::object T::*member) {
    return [member](const T &self) { return or_none(self.*member); };
}

// The collector's slots for a stream type: it sees every object the type lists in `objects()`, and drops
// them all when it breaks a cycle.
template <class T> int traverse_objects(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    for (const nb::object *object : nb::inst_ptr<T>(self)->objects()) {
        Py_VISIT(object->ptr());
    }
    return 0;
}
template <class T> int clear_objects(PyObject *self) {
    if (nb::inst_ready(self)) {
        T dropped = std::move(*nb::inst_ptr<T>(self));
    }
    return 0;
}
template <class T> inline PyType_Slot collected_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(traverse_objects<T>)},
    {Py_tp_clear, reinterpret_cast<void *>(clear_objects<T>)},
    {0, nullptr},
};

// `f`, whose first parameter is the object it works on, as a method of the pipeline's class `T`: nanobind refuses a
// `self` of any other type with TypeError before `f` runs, and an instance whose `__init__` never ran is refused
// too. A coroutine or async generator that `f` makes carries `name` and `qualname` (static storage) when given.
template <class T, class R, class Self, class... A>
auto method_of(R (*f)(Self, A...), const char *name = nullptr, const char *qualname = nullptr) {
    return [f, name, qualname](nb::handle_t<T> self, A... args) -> R {
        if (!nb::inst_ready(self)) {
            PyErr_Format(PyExc_TypeError, "%s object is not initialized", Py_TYPE(self.ptr())->tp_name);
            throw nb::python_error();
        }
        if constexpr (std::is_same_v<R, pyasync::Task> || std::is_same_v<R, pyasync::VoidTask> ||
                      std::is_same_v<R, pyasync::AsyncGen>) {
            return f(nb::borrow(self), std::forward<A>(args)...).named(name, qualname);
        } else {
            return f(nb::borrow(self), std::forward<A>(args)...);
        }
    };
}

// Where a step that callers may replace is looked up: its class as made, the name, and what the class
// held under it then.
class StepSlot {
public:
    void init(nb::handle cls, const char *name, const char *qualname) {
        own_.init(cls, name);
        plain_name_ = name;
        qualname_ = qualname;
    }
    // Whether `self` may reach something else under the step's name (see OwnMethod::reached_by).
    bool replaced(nb::handle self) const { return !own_.reached_by(self); }

protected:
    pyhost::OwnMethod own_;
    const char *plain_name_ = nullptr;  // for the native step's coroutine
    const char *qualname_ = nullptr;
};

// A step that callers may replace, called as its caller would: what replaced it, else `Native`, whose
// coroutine or async generator then carries the step's names.
template <auto Native> class Step : public StepSlot {
public:
    template <class... A> nb::object operator()(nb::handle self, A &&...args) const {
        if (replaced(self)) return self.attr(own_.name())(std::forward<A>(args)...);
        auto result = Native(nb::borrow(self), std::forward<A>(args)...);
        using R = decltype(result);
        if constexpr (std::is_same_v<R, pyasync::Task> || std::is_same_v<R, pyasync::VoidTask> ||
                      std::is_same_v<R, pyasync::AsyncGen>) {
            return std::move(result).named(plain_name_, qualname_).to_python();
        } else {
            return result;
        }
    }
};

}  // namespace vadrel_guardrail::stream
