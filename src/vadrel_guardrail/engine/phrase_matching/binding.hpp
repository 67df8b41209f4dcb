// How the matches of an automaton are told back as the engine's phrases: the items of a phrase sequence as
// a check found them, and for each phrase the first item that lowers to it.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace vadrel_guardrail::phrase_matching {

namespace nb = nanobind;

// A sequence of phrases (an exact list or tuple of exact texts) through which matches are told back: for each
// phrase of the automaton that is the first of its text, the first item whose lower-cased form is that text,
// or -1. The items are kept, so that a sequence that still holds these very objects needs no lower-casing.
struct Binding {
    nb::object items;  // a tuple of the items
    std::vector<std::int32_t> item_of;
    // The items whose lower-cased text is no phrase of the automaton, by that text (the first of each): the
    // pattern may match such a text, equal to a phrase up to case but not lower-cased to it.
    std::unordered_map<std::u32string, std::int32_t> item_of_other_text;

    static bool bindable(nb::handle phrases) {
        return PyList_CheckExact(phrases.ptr()) || PyTuple_CheckExact(phrases.ptr());
    }

    // How many leading items must be these ones for the binding to tell `found` (the automaton's phrases, or
    // -1 - an index into `other_texts`) as it would tell them: a text is told as the first item that lowers to
    // it, so items after the last one told cannot change the telling; a text told as no item needs them all.
    Py_ssize_t items_needed(const std::vector<std::int32_t> &found, const std::vector<std::u32string> &other_texts) const {
        std::int32_t last = -1;
        for (std::int32_t index : found) {
            std::int32_t item = -1;
            if (index >= 0) {
                item = item_of[static_cast<std::size_t>(index)];
            } else if (auto other = item_of_other_text.find(other_texts[static_cast<std::size_t>(-1 - index)]);
                       other != item_of_other_text.end()) {
                item = other->second;
            }
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
        return std::memcmp(PySequence_Fast_ITEMS(phrases.ptr()), PySequence_Fast_ITEMS(items.ptr()),
                           static_cast<std::size_t>(needed < 0 ? size : needed) * sizeof(PyObject *)) == 0;
    }
};

}  // namespace vadrel_guardrail::phrase_matching
