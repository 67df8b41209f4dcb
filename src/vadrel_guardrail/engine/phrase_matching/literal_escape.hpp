// `re.escape` of a text, as the host's own gives it, without a look-up in its table for every character.
#pragma once

#include <nanobind/nanobind.h>

namespace vadrel_guardrail::phrase_matching {

// Whether `escape` is the host's `re.escape` with its table of special characters as the host made it, so that
// `escaped_literally` gives what it gives. Call `remember_host_escape` once with the `re` module first.
void remember_host_escape(nanobind::handle re);
bool is_host_escape(nanobind::handle escape);

// `re.escape(text)` for an exact text: each special character after a backslash.
nanobind::object escaped_literally(nanobind::handle text);

}  // namespace vadrel_guardrail::phrase_matching
