// Reading a JSON answer into only the Python objects the invoker looks at (see answer_json.hpp).
//
// The grammar and every error follow CPython's own scanner (the C one json.loads uses): the same
// numbers (the longest prefix that is one; "1." is 1 followed by more data), the same escapes (a
// surrogate pair written as two escapes is joined, a lone one kept), the same constants (NaN, Infinity,
// -Infinity), the same messages at the same positions. Positions are counted in characters, as json.loads
// counts them in the text it decodes; the reader itself works on the UTF-8 bytes.
#include "vadrel_inference/lm_invoker/answer_json.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"

namespace vadrel_inference::answer_json {

namespace {

// Deeper documents go to json.loads itself: where it gives up depends on the interpreter's recursion
// limit and on how deep the caller already is, which no fixed depth here could match.
constexpr int kMaxDepth = 512;

// The long integers json.loads would refuse are converted even where they are not kept, so that they are
// refused here too: the interpreter's limit on digits is never below this.
constexpr std::ptrdiff_t kShortestLimitedInt = 640;

struct SyntaxError {
    const char *message;
    const char *at;
};
struct LeftToJsonLoads {};  // bytes that are not UTF-8 (json.loads fails to decode them), or too deep

enum : unsigned char { kPlain, kQuote, kBackslash, kControl, kNonAscii };

constexpr std::array<unsigned char, 256> string_bytes() {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = kControl;
    for (int c = 0x80; c < 0x100; ++c) table[c] = kNonAscii;
    table['"'] = kQuote;
    table['\\'] = kBackslash;
    return table;
}
constexpr std::array<unsigned char, 256> kStringBytes = string_bytes();

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code point written by the four hex digits at `at`, or -1.
long hex4(const char *at) {
    long value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hex_value(at[i]);
        if (digit < 0) return -1;
        value = value << 4 | digit;
    }
    return value;
}

// UTF-8 as Python's decoder takes it with "surrogatepass" (json.loads decodes bytes so): encoded
// surrogates pass, overlong forms and values past U+10FFFF do not.
void append_utf8(std::string &out, long c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
        return;
    }
    const int more = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;  // continuation bytes
    out += static_cast<char>(((0xFF << (7 - more)) & 0xFF) | (c >> (6 * more)));
    for (int shift = 6 * (more - 1); shift >= 0; shift -= 6) {
        out += static_cast<char>(0x80 | ((c >> shift) & 0x3F));
    }
}

// The length of the UTF-8 sequence at `at` (lead byte 0x80 or more), or 0 when it is not one.
int utf8_sequence(const unsigned char *at, const unsigned char *end) {
    const unsigned char c = at[0];
    int length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (end - at < length || at[1] < low || at[1] > high) return 0;
    for (int i = 2; i < length; ++i) {
        if (!is_continuation(at[i])) return 0;
    }
    return length;
}

nb::object placeholder() { return pyhost::owned(PyTuple_New(0)); }

class Reader {
public:
    Reader(const char *begin, const char *end) : p_(begin), end_(end) {}

    nb::object document(const Shape &shape) {
        skip_space();
        nb::object result = value(&shape);
        skip_space();
        if (p_ != end_) fail("Extra data");
        return result;
    }

private:
    const char *p_;
    const char *const end_;
    int depth_ = 0;
    std::array<char, kMaxDepth + 1> closers_{};  // what ends each container skip() is in
    std::string text_;  // the text of the last string that had escapes, unescaped

    [[noreturn]] void fail(const char *message, const char *at = nullptr) {
        throw SyntaxError{message, at ? at : p_};
    }
    bool at(char c) const { return p_ != end_ && *p_ == c; }
    void skip_space() {
        while (p_ != end_ && is_space(*p_)) ++p_;
    }

    // Any value, built as `shape` asks (not at all when it is null).
    nb::object value(const Shape *shape) {
        if (p_ == end_) fail("Expecting value");
        if (!shape && (*p_ == '[' || *p_ == '{')) {
            skip();
            return nb::object();
        }
        switch (*p_) {
            case '"': return shape ? text(string()) : (string(), nb::object());
            case '{': return object(shape);
            case '[': return array(shape);
            case 'n': return constant("null", shape, Py_None);
            case 't': return constant("true", shape, Py_True);
            case 'f': return constant("false", shape, Py_False);
            case 'N': return constant("NaN", shape, nullptr, NAN);
            case 'I': return constant("Infinity", shape, nullptr, INFINITY);
            case '-':
                if (end_ - p_ >= 9 && std::memcmp(p_, "-Infinity", 9) == 0) {
                    return constant("-Infinity", shape, nullptr, -INFINITY);
                }
                return number(shape);
            default: return number(shape);
        }
    }

    // Passes over the container at p_, checked as object() and array() check one, building nothing: one
    // loop, not a call for each value, as most of a large answer is passed over.
    void skip() {
        const int outer = depth_;
        for (;;) {
            if (p_ == end_) fail("Expecting value");
            if (*p_ == '[' || *p_ == '{') {
                const char close = *p_ == '[' ? ']' : '}';
                if (open(close)) {
                    if (close == '}') member_name();
                    continue;  // to its first value
                }
            } else if (*p_ == '"') {
                string();
            } else if (is_digit(*p_)) {
                number(nullptr);
            } else {
                value(nullptr);
            }
            // The value is over: close the containers that end here, then go on to the next value.
            while (depth_ != outer && !another(closers_[depth_])) {
            }
            if (depth_ == outer) return;
            if (closers_[depth_] == '}') member_name();
        }
    }

    // The container opening at p_, which `close` ends: true when it has an item (p_ then at it), false
    // when it is empty (p_ then past it).
    bool open(char close) {
        if (++depth_ > kMaxDepth) throw LeftToJsonLoads{};
        closers_[depth_] = close;
        ++p_;
        skip_space();
        if (!at(close)) return true;
        ++p_;
        --depth_;
        return false;
    }

    // After an item of the innermost container: true when another follows (p_ then at it), false when
    // the container ends (p_ then past it).
    bool another(char close) {
        skip_space();
        if (at(close)) {
            ++p_;
            --depth_;
            return false;
        }
        if (!at(',')) fail("Expecting ',' delimiter");
        const char *const comma = p_++;
        skip_space();
        if (at(close)) {
            fail(close == '}' ? "Illegal trailing comma before end of object"
                              : "Illegal trailing comma before end of array",
                 comma);
        }
        return true;
    }

    // A member's name and the colon after it, up to its value.
    std::string_view member_name() {
        if (!at('"')) fail("Expecting property name enclosed in double quotes");
        const std::string_view name = string();
        skip_space();
        if (!at(':')) fail("Expecting ':' delimiter");
        ++p_;
        skip_space();
        return name;
    }

    nb::object constant(std::string_view word, const Shape *shape, PyObject *object, double number = 0) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0) {
            fail("Expecting value");
        }
        p_ += word.size();
        if (!shape) return nb::object();
        return object ? nb::borrow(object) : pyhost::owned(PyFloat_FromDouble(number));
    }

    nb::object number(const Shape *shape) {
        const char *const start = p_;
        if (*p_ == '-' && ++p_ == end_) fail("Expecting value", start);
        if (*p_ >= '1' && *p_ <= '9') {
            while (++p_ != end_ && is_digit(*p_)) {
            }
        } else if (*p_ == '0') {
            ++p_;
        } else {
            fail("Expecting value", start);
        }
        bool fraction = false;
        if (end_ - p_ > 1 && *p_ == '.' && is_digit(p_[1])) {
            fraction = true;
            p_ += 2;
            while (p_ != end_ && is_digit(*p_)) ++p_;
        }
        if (end_ - p_ > 1 && (*p_ == 'e' || *p_ == 'E')) {
            const char *const e = p_++;
            if (end_ - p_ > 1 && (*p_ == '-' || *p_ == '+')) ++p_;
            while (p_ != end_ && is_digit(*p_)) ++p_;
            if (is_digit(p_[-1])) {
                fraction = true;
            } else {
                p_ = e;  // "1e" is the number 1 followed by more
            }
        }
        if (!shape && (fraction || p_ - start <= kShortestLimitedInt)) return nb::object();
        std::string digits(start, p_);
        if (fraction) {
            const double parsed = PyOS_string_to_double(digits.c_str(), nullptr, nullptr);
            if (parsed == -1.0 && PyErr_Occurred()) throw nb::python_error();
            return pyhost::owned(PyFloat_FromDouble(parsed));
        }
        nb::object parsed = pyhost::owned(PyLong_FromString(digits.c_str(), nullptr, 10));
        return shape ? parsed : nb::object();
    }

    // A string whose opening quote is at p_, its text as UTF-8 (escapes undone); p_ ends past it.
    std::string_view string() {
        const char *const quote = p_++;
        const char *run = p_;  // the bytes since the last escape, still to be copied
        bool escaped = false;
        for (;;) {
            while (p_ != end_ && kStringBytes[static_cast<unsigned char>(*p_)] == kPlain) ++p_;
            if (p_ == end_) fail("Unterminated string starting at", quote);
            switch (kStringBytes[static_cast<unsigned char>(*p_)]) {
                case kQuote: {
                    std::string_view result;
                    if (escaped) {
                        text_.append(run, p_);
                        result = text_;
                    } else {
                        result = std::string_view(run, static_cast<std::size_t>(p_ - run));
                    }
                    ++p_;
                    return result;
                }
                case kControl: fail("Invalid control character at");
                case kNonAscii: {
                    const int length = utf8_sequence(reinterpret_cast<const unsigned char *>(p_),
                                                     reinterpret_cast<const unsigned char *>(end_));
                    if (length == 0) throw LeftToJsonLoads{};
                    p_ += length;
                    break;
                }
                default: {  // a backslash
                    if (!escaped) {
                        escaped = true;
                        text_.clear();
                    }
                    text_.append(run, p_);
                    escape(quote);
                    run = p_;
                }
            }
        }
    }

    // The escape whose backslash is at p_, appended to text_.
    void escape(const char *quote) {
        const char *const backslash = p_;
        if (++p_ == end_) fail("Unterminated string starting at", quote);
        if (*p_ != 'u') {
            static constexpr std::string_view from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
            const std::size_t which = from.find(*p_);
            if (which == std::string_view::npos) fail("Invalid \\escape", backslash);
            text_ += to[which];
            ++p_;
            return;
        }
        const char *const u = p_;
        // json.loads wants a character after the four digits (a string's end quote cannot be missing).
        const long c = end_ - u > 5 ? hex4(u + 1) : -1;
        if (c < 0) fail("Invalid \\uXXXX escape", u);
        p_ = u + 5;
        if (c >= 0xD800 && c <= 0xDBFF && end_ - p_ > 6 && p_[0] == '\\' && p_[1] == 'u') {
            const long low = hex4(p_ + 2);
            if (low < 0) fail("Invalid \\uXXXX escape", p_ + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append_utf8(text_, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                p_ += 6;
                return;
            }
        }
        append_utf8(text_, c);  // a lone surrogate is kept, as json.loads keeps it
    }

    static nb::object text(std::string_view utf8) {
        const auto size = static_cast<Py_ssize_t>(utf8.size());
        return pyhost::owned(PyUnicode_DecodeUTF8(utf8.data(), size, "surrogatepass"));
    }

    nb::object object(const Shape *shape) {
        const bool whole = shape && shape->kind == Shape::Kind::whole;
        const bool built = whole || (shape && shape->kind == Shape::Kind::object);
        nb::object dict = built ? nb::object(nb::dict()) : nb::object();
        for (bool more = open('}'); more; more = another('}')) {
            const std::string_view name = member_name();
            nb::object key;
            const Shape *member = nullptr;
            if (whole) {
                key = text(name);
                member = &kWhole;
            } else if (built) {
                for (const Member &m : shape->members) {
                    if (m.key == name) {
                        key = text(m.key);
                        member = m.shape;
                        break;
                    }
                }
            }
            nb::object item = value(member);
            if (member) pyhost::status(PyDict_SetItem(dict.ptr(), key.ptr(), item.ptr()));
        }
        return built ? dict : shape ? placeholder() : nb::object();
    }

    nb::object array(const Shape *shape) {
        const bool whole = shape && shape->kind == Shape::Kind::whole;
        const bool first = shape && shape->kind == Shape::Kind::first;
        nb::object list = whole || first ? nb::object(nb::list()) : nb::object();
        bool head = true;
        for (bool more = open(']'); more; more = another(']'), head = false) {
            const Shape *item = whole ? &kWhole : first && head ? shape->item : nullptr;
            nb::object built = value(item);
            if (item) pyhost::status(PyList_Append(list.ptr(), built.ptr()));
        }
        return list.is_valid() ? list : shape ? placeholder() : nb::object();
    }
};

// The json.JSONDecodeError json.loads raises for `error` in `doc` (its text, decoded from `begin`).
[[noreturn]] void raise_decode_error(const SyntaxError &error, nb::handle doc, const char *begin) {
    Py_ssize_t position = 0;
    for (const char *c = begin; c != error.at; ++c) {
        position += !is_continuation(static_cast<unsigned char>(*c));
    }
    static pyhost::Global decode_error;
    if (!decode_error) decode_error.set(pyhost::import_from("json", "JSONDecodeError"));
    pyhost::raise(decode_error(error.message, doc, position));
}

}  // namespace

nb::object json_loads(nb::handle raw) {
    static pyhost::Global loads;
    if (!loads) loads.set(pyhost::import_from("json", "loads"));
    return loads(raw);
}

nb::object read(nb::handle raw, const Shape &shape) {
    const char *begin = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_CheckExact(raw.ptr())) {
        begin = PyBytes_AS_STRING(raw.ptr());
        size = PyBytes_GET_SIZE(raw.ptr());
        const auto *b = reinterpret_cast<const unsigned char *>(begin);
        // json.loads guesses UTF-16 and UTF-32 from a byte order mark or zero bytes at the start: those
        // rare answers are left to it.
        if (size >= 2 && (b[0] == 0 || b[1] == 0 || (b[0] == 0xFE && b[1] == 0xFF) ||
                          (b[0] == 0xFF && b[1] == 0xFE))) {
            return json_loads(raw);
        }
        if (size >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
            begin += 3;  // json.loads decodes such bytes as "utf-8-sig"
            size -= 3;
        }
    } else if (PyUnicode_CheckExact(raw.ptr()) && PyUnicode_GET_LENGTH(raw.ptr()) != 0 &&
               PyUnicode_READ_CHAR(raw.ptr(), 0) != 0xFEFF) {  // json.loads refuses a leading BOM in text
        begin = PyUnicode_AsUTF8AndSize(raw.ptr(), &size);
        if (!begin) {  // lone surrogates
            PyErr_Clear();
            return json_loads(raw);
        }
    } else {
        return json_loads(raw);
    }
    try {
        return Reader(begin, begin + size).document(shape);
    } catch (const LeftToJsonLoads &) {
        return json_loads(raw);
    } catch (const SyntaxError &error) {
        nb::object doc = PyUnicode_Check(raw.ptr())
                             ? nb::borrow(raw)
                             : pyhost::owned(PyUnicode_DecodeUTF8(begin, size, "surrogatepass"));
        raise_decode_error(error, doc, begin);
    }
}

}  // namespace vadrel_inference::answer_json
