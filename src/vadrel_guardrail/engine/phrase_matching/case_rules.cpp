#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"

#include <algorithm>

namespace vadrel_guardrail::phrase_matching {

const CaseRules *CaseRules::get() {
    // Read once, guarded by the GIL rather than a static-initialisation lock, which a thread could hold
    // while the import below lets another thread take the GIL. Kept for the process.
    static bool done = false;
    static const CaseRules *rules = nullptr;
    if (!done) {
        rules = read();
        done = true;
    }
    return rules;
}

const CaseRules *CaseRules::read() {
    auto *rules = new CaseRules();
    if (!rules->read_extra_classes() || !rules->check_lowering() || !rules->fill_tables() ||
        !rules->read_full_lowering() || !rules->read_sigma_context()) {
        PyErr_Clear();
        delete rules;
        return nullptr;
    }
    return rules;
}

// `re._casefix._EXTRA_CASES`: lower-case character -> the other lower-case characters of its class.
bool CaseRules::read_extra_classes() {
    PyObject *module = PyImport_ImportModule("re._casefix");
    if (!module) {
        return false;
    }
    PyObject *table = PyObject_GetAttrString(module, "_EXTRA_CASES");
    Py_DECREF(module);
    if (!table || !PyDict_Check(table)) {
        Py_XDECREF(table);
        return false;
    }
    // Snapshots of the entries and of each class, read from then on: reading a number may run Python code (an
    // `__index__`), which may change the table.
    PyObject *entries = PyDict_Items(table);
    Py_DECREF(table);
    if (!entries) {
        return false;
    }
    std::map<std::uint32_t, std::vector<std::uint32_t>> classes;
    bool ok = true;
    for (Py_ssize_t e = 0; ok && e < PyList_GET_SIZE(entries); ++e) {
        PyObject *entry = PyList_GET_ITEM(entries, e);  // a (key, class) tuple of our own list
        long key = PyLong_AsLong(PyTuple_GET_ITEM(entry, 0));
        PyObject *seq = key < 0 ? nullptr : PySequence_Tuple(PyTuple_GET_ITEM(entry, 1));
        if (!seq) {
            ok = false;
            break;
        }
        std::vector<std::uint32_t> members{static_cast<std::uint32_t>(key)};
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
            long member = PyLong_AsLong(PyTuple_GET_ITEM(seq, i));
            if (member < 0) {
                ok = false;  // no further C-API call with the error set
                break;
            }
            members.push_back(static_cast<std::uint32_t>(member));
        }
        Py_DECREF(seq);
        std::sort(members.begin(), members.end());
        classes[static_cast<std::uint32_t>(key)] = std::move(members);
    }
    Py_DECREF(entries);
    if (!ok) {
        return false;
    }
    // Each member must name the same class, be cased and be its own lower case; else keys would not
    // reproduce `re`, and the pattern itself is used instead.
    for (const auto &[key, members] : classes) {
        for (std::uint32_t member : members) {
            auto other = classes.find(member);
            if (other == classes.end() || other->second != members || !cased(member) ||
                lower_of(member) != member || member > kMaxCodePoint) {
                return false;
            }
        }
        canon_[key] = members.front();
    }
    return true;
}

// `re` compares lower(t) with the pattern's character; an uncased pattern character is compared with t
// itself. Keys agree with that only if no character lowers to a different, uncased one.
// Also notes the keys shared by some non-word character (U+0345 folds to a Greek letter, for one).
bool CaseRules::check_lowering() {
    nonword_key_.assign(kMaxCodePoint + 1, false);
    for (std::uint32_t c = 0; c <= kMaxCodePoint; ++c) {
        std::uint32_t lo = lower_of(c);
        if (lo != c && !cased(lo)) {
            return false;
        }
        std::uint32_t k = canon(lo);
        if (k <= kMaxCodePoint && !word_of(c)) {
            nonword_key_[k] = true;
        }
    }
    return true;
}

bool CaseRules::fill_tables() {
    bmp_key_.resize(kBmp);
    bmp_flags_.resize(kBmp);
    bmp_lower_.resize(kBmp);
    by_key_begin_.assign(kBmp + 1, 0);
    for (std::uint32_t c = 0; c < kBmp; ++c) {
        std::uint32_t k = slow_key(c);
        if (k >= kBmp) {
            return false;  // the class tables index keys of the plane by the key
        }
        bmp_key_[c] = k;
        bmp_lower_[c] = lower_of(c);
        bmp_flags_[c] = word_of(c) ? kWord : 0;
        ++by_key_begin_[k + 1];
    }
    for (std::uint32_t k = 0; k < kBmp; ++k) {
        by_key_begin_[k + 1] += by_key_begin_[k];
    }
    by_key_.resize(kBmp);
    std::vector<std::uint32_t> next(by_key_begin_.begin(), by_key_begin_.end() - 1);
    for (std::uint32_t c = 0; c < kBmp; ++c) {
        by_key_[next[bmp_key_[c]]++] = static_cast<std::uint16_t>(c);
    }
    // The block scan classifies ASCII characters by arithmetic.
    for (std::uint32_t c = 0; c < 128; ++c) {
        bool ascii_word = c == '_' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
        if (ascii_word != word_of(c)) {
            return false;
        }
    }
    return true;
}

// Calls `make(c, units)` to write `group` code units for every character c, lower-cases them with `str.lower`
// a chunk of characters at a time, and hands each character with the lower case of its units to
// `take(c, lowered, size)`. False when Python fails.
template <typename Make, typename Take>
static bool lower_each(std::uint32_t group, Make &&make, Take &&take) {
    constexpr std::uint32_t kChunk = 4096;
    std::vector<Py_UCS4> units(kChunk * group);
    auto lower = [](const Py_UCS4 *data, std::size_t size, std::vector<Py_UCS4> &out) {
        PyObject *chunk = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, data, static_cast<Py_ssize_t>(size));
        PyObject *lowered = chunk ? PyObject_CallMethod(chunk, "lower", nullptr) : nullptr;
        Py_XDECREF(chunk);
        if (!lowered || !PyUnicode_Check(lowered)) {
            Py_XDECREF(lowered);
            return false;
        }
        out.resize(static_cast<std::size_t>(PyUnicode_GET_LENGTH(lowered)));
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] = PyUnicode_READ_CHAR(lowered, static_cast<Py_ssize_t>(i));
        }
        Py_DECREF(lowered);
        return true;
    };
    std::vector<Py_UCS4> lowered;
    for (std::uint32_t base = 0; base <= kMaxCodePoint; base += kChunk) {
        std::uint32_t n = std::min(kChunk, kMaxCodePoint + 1 - base);
        for (std::uint32_t i = 0; i < n; ++i) {
            make(base + i, units.data() + i * group);
        }
        if (!lower(units.data(), n * group, lowered)) {
            return false;
        }
        if (lowered.size() == n * group) {
            for (std::uint32_t i = 0; i < n; ++i) {
                take(base + i, lowered.data() + i * group, group);
            }
            continue;
        }
        for (std::uint32_t i = 0; i < n; ++i) {  // some character of the chunk grows: one group at a time
            if (!lower(units.data() + i * group, group, lowered)) {
                return false;
            }
            take(base + i, lowered.data(), static_cast<std::uint32_t>(lowered.size()));
        }
    }
    return true;
}

// Marks, keeping their lower case, the characters that a scan cannot take for their `str.lower` form: those that
// lower to several (U+0130), to another key or word flag, or to other than their simple lower case. (The capital
// sigma's forms both have its key: only telling a match as a phrase needs its form.)
bool CaseRules::read_full_lowering() {
    bool read = lower_each(
        1, [](std::uint32_t c, Py_UCS4 *units) { units[0] = c; },
        [&](std::uint32_t c, const Py_UCS4 *lowered, std::uint32_t size) {
            std::uint32_t l = lowered[0];
            bool same = size == 1 &&
                        (c == kCapitalSigma ? (l == kSmallSigma || l == kFinalSigma) : l == lower_of(c)) &&
                        slow_key(l) == slow_key(c) && word_of(l) == word_of(c);
            if (!same) {
                mark_changing(c, std::u32string(lowered, lowered + size));
            }
        });
    if (!read) {
        return false;
    }
    // The block scan takes ASCII text as it stands; a lower case that changes again when lowered would make
    // the text that a scan stands for depend on how often it was lowered.
    for (std::uint32_t c = 0; c < 128; ++c) {
        if (bmp_flags_[c] & kChangesWhenLowered) {
            return false;
        }
    }
    for (const auto &[c, lowered] : full_lower_) {
        for (char32_t l : lowered) {
            if (flags(static_cast<std::uint32_t>(l)) & kChangesWhenLowered) {
                return false;
            }
        }
    }
    std::sort(astral_changing_.begin(), astral_changing_.end());
    return true;
}

// How each character takes part in the choice of a capital sigma's lower case, read from `str.lower` itself:
// "AΣxB" keeps the small sigma unless x stops the look-ahead as an uncased character; "AΣx " keeps it only
// when x stops it as a cased one; a character that neither does is passed over (case-ignorable).
bool CaseRules::read_sigma_context() {
    sigma_context_.assign(kBmp, kSigmaUncased);
    auto write = [](std::uint32_t after) {
        return [after](std::uint32_t c, Py_UCS4 *units) {
            units[0] = 'A';
            units[1] = kCapitalSigma;
            units[2] = c;
            units[3] = after;
        };
    };
    std::vector<bool> small_before_cased(kMaxCodePoint + 1);
    bool read = lower_each(4, write('B'), [&](std::uint32_t c, const Py_UCS4 *lowered, std::uint32_t) {
        small_before_cased[c] = lowered[1] == kSmallSigma;
    });
    read = read && lower_each(4, write(' '), [&](std::uint32_t c, const Py_UCS4 *lowered, std::uint32_t) {
        std::uint8_t context = lowered[1] == kSmallSigma  ? kSigmaCased
                               : small_before_cased[c]     ? kSigmaIgnorable
                                                           : kSigmaUncased;
        if (c < kBmp) {
            sigma_context_[c] = context;
        } else if (context != kSigmaUncased) {
            astral_sigma_context_.emplace_back(c, context);
        }
    });
    return read;
}

void CaseRules::mark_changing(std::uint32_t c, std::u32string lowered) {
    if (c < kBmp) {
        bmp_flags_[c] |= kChangesWhenLowered;
        plane_changing_.push_back(static_cast<std::uint16_t>(c));
        plane_lowers_in_plane_ &= std::all_of(lowered.begin(), lowered.end(), [](char32_t u) { return u < kBmp; });
    } else {
        astral_changing_.push_back(c);
    }
    full_lower_.emplace(c, std::move(lowered));
}

}  // namespace vadrel_guardrail::phrase_matching
