// pyasync::Task and pyasync::VoidTask: C++ coroutines that Python sees as coroutines.
#pragma once

#include "pyasync/detail/basic_task.hpp"

namespace pyasync {

// A C++ coroutine that Python sees as a coroutine; `co_return value;` sets its result.
class Task : public detail::BasicTask<detail::ValueTaskPromise, Task> {
public:
    using BasicTask::BasicTask;
};

// The same, for bodies that end with `co_return;` (Python result: None).
class VoidTask : public detail::BasicTask<detail::VoidTaskPromise, VoidTask> {
public:
    using BasicTask::BasicTask;
};

}  // namespace pyasync
