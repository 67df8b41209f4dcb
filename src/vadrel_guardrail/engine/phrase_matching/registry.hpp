// The native automaton of each pattern that the engine prepares, found by the pattern object, as long as it lives
// (a pattern a caller puts in `banned_phrases_regex` has none: its own `findall` serves). Its matches are told as
// the engine's phrases through a binding: a phrase sequence's items, and for each phrase the first item that
// lowers to it.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace nb = nanobind;

// The pointers of a sequence's items, for telling whether a sequence still holds those very objects. The copy
// sits at the same offset within a 64-byte line as the array it is compared with: when the two sides sit at
// different offsets, every other vector load of the compare spans two lines, and a compare of 10,000 items
// (read from the second-level cache) takes about a third longer.
class ItemPointers {
public:
    explicit ItemPointers(nb::handle tuple) {
        Py_ssize_t size = PyTuple_GET_SIZE(tuple.ptr());
        slots_.resize(static_cast<std::size_t>(size) + kShifts);
        size_ = static_cast<std::size_t>(size);
        std::memcpy(slots_.data(), PySequence_Fast_ITEMS(tuple.ptr()), size_ * sizeof(PyObject *));
    }

    // Whether the first `count` (at most the copy's size) of `items` are the copy's.
    bool lead(PyObject *const *items, std::size_t count) const {
        if (count == 0) {
            return true;  // an empty list has no array at all
        }
        place_like(items);
        return std::memcmp(items, slots_.data() + shift_, count * sizeof(PyObject *)) == 0;
    }

private:
    static constexpr std::size_t kLine = 64;
    static constexpr std::size_t kShifts = kLine / sizeof(PyObject *);

    // Moves the copy to the offset of `items` within a line (a sequence's array moves when it grows).
    void place_like(PyObject *const *items) const {
        auto offset = [](const void *p) { return reinterpret_cast<std::uintptr_t>(p) % kLine; };
        if (size_ == 0 || offset(items) == offset(slots_.data() + shift_)) {
            return;
        }
        std::size_t shift = (offset(items) + kLine - offset(slots_.data())) % kLine / sizeof(PyObject *);
        std::memmove(slots_.data() + shift, slots_.data() + shift_, size_ * sizeof(PyObject *));
        shift_ = shift;
    }

    mutable std::vector<PyObject *> slots_;  // the copy at `shift_`, with room to move within a line
    mutable std::size_t shift_ = 0;
    std::size_t size_ = 0;
};

// The reasons of recent verdicts, by the items they name: a text checked again names the same items, and its
// reason is the same text again.
class ReasonCache {
public:
    // The reason that names the items `named` (their indexes, in order), made by `make` when none is kept.
    template <typename Make>
    nb::object reason(const std::vector<std::int32_t> &named, Make &&make) {
        std::uint64_t hash = named.size();
        for (std::int32_t item : named) {
            hash = (hash ^ static_cast<std::uint32_t>(item)) * 0x9E3779B97F4A7C15ull;
        }
        Entry &entry = entries_[(hash >> 32) % kEntries];
        if (!entry.reason.is_valid() || entry.named != named) {
            nb::object made = make();
            entry.named = named;
            entry.reason = std::move(made);
        }
        return entry.reason;
    }

private:
    struct Entry {
        std::vector<std::int32_t> named;
        nb::object reason;
    };
    static constexpr std::size_t kEntries = 8;
    std::array<Entry, kEntries> entries_;
};

// A sequence of phrases (an exact list or tuple of exact texts) through which matches are reported back: for each
// phrase of the automaton that is the first of its text, the first item whose lower-cased form is that text,
// or -1. The items are kept, so that a sequence that still holds these very objects needs no lower-casing.
struct Binding {
    nb::object items;  // a tuple of the items
    std::vector<std::int32_t> item_of;
    // The items whose lower-cased text is no phrase of the automaton, by that text (the first of each): the
    // pattern may match such a text, equal to a phrase up to case but not lower-cased to it.
    std::unordered_map<std::u32string, std::int32_t> item_of_other_text;
    ItemPointers pointers{items};  // the items' pointers, for the compare
    mutable ReasonCache reasons;

    // The item that tells a match found as `index` (a phrase, or -1 - an index into `other_texts`), or -1.
    std::int32_t item_telling(std::int32_t index, const std::vector<std::u32string> &other_texts) const {
        if (index >= 0) {
            return item_of[static_cast<std::size_t>(index)];
        }
        auto other = item_of_other_text.find(other_texts[static_cast<std::size_t>(-1 - index)]);
        return other == item_of_other_text.end() ? -1 : other->second;
    }

    static bool bindable(nb::handle phrases) {
        return PyList_CheckExact(phrases.ptr()) || PyTuple_CheckExact(phrases.ptr());
    }

    // How many leading items must be these ones for the binding to tell `found` (the automaton's phrases, or
    // -1 - an index into `other_texts`) as it would tell them: a text is named as the first item that lowers to
    // it, so items after the last one named cannot change the telling; a text named as no item needs them all.
    Py_ssize_t items_needed(const std::vector<std::int32_t> &found, const std::vector<std::u32string> &other_texts) const {
        std::int32_t last = -1;
        for (std::int32_t index : found) {
            std::int32_t item = item_telling(index, other_texts);
            if (item < 0) {
                return -1;
            }
            last = std::max(last, item);
        }
        return last + 1;
    }

    // Whether `phrases` (bindable) holds these items, in this order: its first `needed` items, or exactly
    // these items when `needed` is -1.
    bool held_by(nb::handle phrases, Py_ssize_t needed = -1) const {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(phrases.ptr());
        Py_ssize_t own = PyTuple_GET_SIZE(items.ptr());
        if (needed < 0 ? size != own : size < needed) {
            return false;
        }
        std::size_t count = static_cast<std::size_t>(needed < 0 ? size : needed);
        return pointers.lead(PySequence_Fast_ITEMS(phrases.ptr()), count);
    }
};

struct NativeEntry {
    nb::object weakref;
    std::shared_ptr<const PhraseAutomaton> automaton;
    nb::dict first_of_text;  // lower-cased phrase text (exact) -> the automaton's first phrase with that text
    // The sequences that engines of this pattern held at their last checks (`re`'s compile cache can give
    // several engines one pattern), the latest last.
    std::vector<Binding> bindings;

    // The binding of `phrases`: kept when they still hold the same items, else made once from a snapshot of
    // them and their lower-cased forms (`lowered`, item for item, when `phrases` is the caller's own snapshot).
    // Null when `phrases` cannot be bound, for items other than exact texts, which may lower-case differently
    // each time. Runs no Python code.
    // With `found`, a binding whose items lead `phrases` far enough to tell those matches will do.
    const Binding *binding_for(nb::handle phrases, nb::handle lowered = nb::handle(),
                               const std::vector<std::int32_t> *found = nullptr,
                               const std::vector<std::u32string> *other_texts = nullptr);
};

// The entry of a prepared pattern, or null when it has none.
NativeEntry *native_entry(nb::handle pattern);
const PhraseAutomaton *native_for(nb::handle pattern);

// Builds the automaton of `pattern`, prepared from `phrases` (the caller's snapshot, a tuple) as they were
// lower-cased into `lowered_phrases` (a list), item for item; nothing when the phrases cannot have one.
void register_native(nb::handle pattern, nb::handle phrases, nb::handle lowered_phrases);

// The matches of a native automaton, as the texts `findall` would give; None when the pattern has no automaton.
nb::object native_findall(nb::handle pattern, nb::handle text, Scratch &scratch);

// `re.escape` of a text as `re`'s own gives it, without a call for every phrase: whether `escape` is the
// `re.escape` seen at import, still escaping as it did then (a backslash before some ASCII characters, the
// others as they are), so that `escaped_literally` gives what it gives. Call `remember_re_escape` once with the
// `re` module first; a `re.escape` that escapes otherwise, or fails, is called for each phrase.
void remember_re_escape(nb::handle re);
bool is_re_escape(nb::handle escape);

// `re.escape(text)` for an exact text: each special character after a backslash.
nb::object escaped_literally(nb::handle text);

}  // namespace vadrel_guardrail::phrase_matching
