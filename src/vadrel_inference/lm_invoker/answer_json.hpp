// Reading a JSON answer into only the Python objects the invoker looks at.
//
// json.loads builds an object for every value of a document; an answer of a few MiB made of many small
// objects then holds the event loop for hundreds of milliseconds and takes thirty times its size. This
// reader checks the whole document as json.loads does (the same errors, raised the same way) but builds
// only what a shape asks for and passes over the rest without making a Python object.
#pragma once

#include <span>
#include <string_view>

#include "vadrel_inference/modules.hpp"

namespace vadrel_inference::answer_json {

struct Member;

// What is built of a value. A scalar (text, number, true, false, null) is always built as json.loads
// builds it; a container that does not have the kind a shape expects becomes an empty tuple, a value that
// no reader takes for anything it looks for.
struct Shape {
    enum class Kind : unsigned char {
        scalar,  // containers are not built
        whole,   // everything, as json.loads builds it
        object,  // a dict of only `members` (the last of duplicate keys wins, as in json.loads)
        first,   // a list of only the first item of an array (empty when the array is), built as `item`
    };
    Kind kind;
    std::span<const Member> members{};
    const Shape *item = nullptr;
};

struct Member {
    std::string_view key;
    const Shape *shape;
};

inline constexpr Shape kScalar{Shape::Kind::scalar};
inline constexpr Shape kWhole{Shape::Kind::whole};

// The document `raw` (bytes or str, as json.loads takes it) read as `shape`. Where json.loads fails,
// this raises what it raises: json.JSONDecodeError with its message and position, UnicodeDecodeError
// for bytes that are not UTF-8, ValueError for an integer too long to convert.
nb::object read(nb::handle raw, const Shape &shape);

// `json.loads(raw)`, looked up once.
nb::object json_loads(nb::handle raw);

}  // namespace vadrel_inference::answer_json
